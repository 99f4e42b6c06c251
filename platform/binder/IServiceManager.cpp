// The host service manager: names map to socket paths in the private runtime
// directory, so lookups need no manager process of their own.
#include <binder/IServiceManager.h>

#include <binder/BpBinder.h>

#include "transport.h"

namespace android {

IServiceManager::IServiceManager() = default;
IServiceManager::~IServiceManager() = default;

namespace {

constexpr int kLookupTimeoutMs = 2000;

class HostServiceManager : public IServiceManager {
public:
    sp<IBinder> getService(const String16& name) const override { return checkService(name); }

    sp<IBinder> checkService(const String16& name) const override {
        std::string path;
        if (!binder_transport::service_path(name, false /*create*/, &path)) return nullptr;
        // A service of this process is its own object, as on the device.
        if (sp<IBinder> local = binder_transport::local_service(path)) return local;
        auto link = binder_transport::connection::open(path);
        if (link == nullptr) return nullptr;
        sp<IBinder> remote = new BpBinder(link, binder_transport::kRootHandle);
        // A refused peer, a dead process or a listener that never answers shows
        // here, within the lookup's short wait, not at the first real call.
        link->set_reply_timeout(kLookupTimeoutMs);
        const bool answered = remote->pingBinder() == NO_ERROR;
        link->set_reply_timeout(-1);
        return answered ? remote : nullptr;
    }

    status_t addService(const String16& name, const sp<IBinder>& service, bool /*allowIsolated*/) override {
        if (service == nullptr) return BAD_VALUE;
        std::string path;
        if (!binder_transport::service_path(name, true /*create*/, &path)) return BAD_VALUE;
        return binder_transport::publish(path, service);
    }

protected:
    IBinder* onAsBinder() override { return nullptr; }
};

}  // namespace

sp<IServiceManager> defaultServiceManager() {
    static const sp<IServiceManager>* const manager = new sp<IServiceManager>(new HostServiceManager);
    return *manager;
}

}  // namespace android
