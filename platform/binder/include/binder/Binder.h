// BBinder: the base of every object that this process serves. Incoming calls reach
// onTransact on a thread of the binder thread pool.
#pragma once

#include <binder/IBinder.h>

namespace android {

class BBinder : public IBinder {
public:
    BBinder();

    const String16& getInterfaceDescriptor() const override;
    bool isBinderAlive() const override;
    status_t pingBinder() override;
    // Runs onTransact in the calling thread and rewinds the reply for reading.
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) final;

    BBinder* localBinder() override;

protected:
    ~BBinder() override;

    // Answers PING_TRANSACTION and INTERFACE_TRANSACTION; any other code gives
    // UNKNOWN_TRANSACTION. Stubs override it and fall back to it.
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0);
};

// The part of a proxy that holds the remote object alive.
class BpRefBase : public virtual RefBase {
protected:
    explicit BpRefBase(const sp<IBinder>& o);
    ~BpRefBase() override;

    IBinder* remote() { return mRemote.get(); }
    IBinder* remote() const { return mRemote.get(); }

private:
    BpRefBase(const BpRefBase&) = delete;
    BpRefBase& operator=(const BpRefBase&) = delete;

    sp<IBinder> mRemote;
};

}  // namespace android
