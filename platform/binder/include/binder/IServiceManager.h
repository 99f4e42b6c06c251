// The service manager: the process-wide directory of services by name. On the host
// a published service is a Unix-domain socket in the user's private binder
// directory, so a lookup costs one connect and one ping, and a missing, dead or
// refusing service reads as null at once.
#pragma once

#include <binder/IInterface.h>
#include <utils/String16.h>

namespace android {

class IServiceManager : public IInterface {
public:
    // Asks once; null when the name has no live service that serves this user.
    virtual sp<IBinder> getService(const String16& name) const = 0;
    virtual sp<IBinder> checkService(const String16& name) const = 0;
    // Names are 1 to 127 characters; adding a name that exists replaces it.
    virtual status_t addService(const String16& name, const sp<IBinder>& service,
                                bool allowIsolated = false) = 0;

protected:
    IServiceManager();
    ~IServiceManager() override;
};

sp<IServiceManager> defaultServiceManager();

}  // namespace android
