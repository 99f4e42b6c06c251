// BBinder (objects served here) and BpRefBase.
#include <binder/Binder.h>

#include <binder/IInterface.h>
#include <binder/Parcel.h>

namespace android {

BBinder::BBinder() = default;
BBinder::~BBinder() = default;

const String16& BBinder::getInterfaceDescriptor() const {
    static const String16* const empty = new String16();
    return *empty;
}

bool BBinder::isBinderAlive() const { return true; }

status_t BBinder::pingBinder() { return NO_ERROR; }

BBinder* BBinder::localBinder() { return this; }

status_t BBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    data.setDataPosition(0);
    const status_t err = onTransact(code, data, reply, flags);
    if (reply != nullptr) reply->setDataPosition(0);
    return err;
}

status_t BBinder::onTransact(uint32_t code, const Parcel& /*data*/, Parcel* reply, uint32_t /*flags*/) {
    switch (code) {
    case PING_TRANSACTION:
        return NO_ERROR;
    case INTERFACE_TRANSACTION:
        if (reply == nullptr) return BAD_VALUE;
        return reply->writeString16(getInterfaceDescriptor());
    default:
        return UNKNOWN_TRANSACTION;
    }
}

BpRefBase::BpRefBase(const sp<IBinder>& o) : mRemote(o) {}
BpRefBase::~BpRefBase() = default;

}  // namespace android
