// BpBinder: an object served by another process, reached through that process's
// service socket. A lost connection marks the proxy dead: that call and every later
// one give DEAD_OBJECT. Dropping the proxy never waits for the serving process.
#pragma once

#include <binder/IBinder.h>
#include <utils/String16.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace android {

namespace binder_transport {
class connection;
}

class BpBinder : public IBinder {
public:
    BpBinder(std::shared_ptr<binder_transport::connection> link, uint32_t handle);

    const String16& getInterfaceDescriptor() const override;
    bool isBinderAlive() const override;
    status_t pingBinder() override;
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;

    BpBinder* remoteBinder() override;

    uint32_t handle() const { return mHandle; }
    const std::shared_ptr<binder_transport::connection>& link() const { return mLink; }

protected:
    // Tells the serving process that this handle is no longer used.
    ~BpBinder() override;

private:
    std::shared_ptr<binder_transport::connection> mLink;
    const uint32_t mHandle;
    mutable std::mutex mDescriptorLock;
    mutable bool mDescriptorFetched = false;
    mutable String16 mDescriptor;
};

}  // namespace android
