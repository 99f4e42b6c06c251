// BpBinder: a handle on one connection to the process that serves the object.
#include <binder/BpBinder.h>

#include <binder/Parcel.h>

#include "transport.h"

namespace android {

BpBinder::BpBinder(std::shared_ptr<binder_transport::connection> link, uint32_t handle)
    : mLink(std::move(link)), mHandle(handle) {}

BpBinder::~BpBinder() {
    // The root object lives as long as the connection; other handles are counted.
    if (mHandle != binder_transport::kRootHandle) mLink->release(mHandle);
}

BpBinder* BpBinder::remoteBinder() { return this; }

bool BpBinder::isBinderAlive() const { return mLink->alive(); }

status_t BpBinder::transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    return mLink->transact(mLink, mHandle, code, data, reply, flags);
}

status_t BpBinder::pingBinder() {
    Parcel data, reply;
    return transact(PING_TRANSACTION, data, &reply);
}

const String16& BpBinder::getInterfaceDescriptor() const {
    std::lock_guard<std::mutex> guard(mDescriptorLock);
    if (!mDescriptorFetched) {
        Parcel data, reply;
        if (const_cast<BpBinder*>(this)->transact(INTERFACE_TRANSACTION, data, &reply) == NO_ERROR) {
            mDescriptor = reply.readString16();
            mDescriptorFetched = true;
        }
    }
    return mDescriptor;
}

}  // namespace android
