// memwarden: publishes the shared-memory service and serves its binder calls on the
// process's thread pool for the rest of its life. Arguments are ignored.
#include <android/log.h>
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <binder/ProcessState.h>

#include <AndroidShm.h>

#include "shm_service_name.h"

using namespace android;

namespace {

const char kLogTag[] = "main_memwarden";

}  // namespace

int main() {
    // A daemon that serves nobody must not look alive: it leaves with status 1, so
    // that init or a unit can tell and start it again. Both checks are needed, since
    // another process may already serve the name this one failed to take.
    const int status = jack_instantiate();
    if (status != NO_ERROR || defaultServiceManager()->checkService(String16(SHM_SERVICE_NAME)) == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "MemWarden cannot publish %s (status %d)",
                            SHM_SERVICE_NAME, status);
        return 1;
    }
    ProcessState::self()->startThreadPool();
    __android_log_print(ANDROID_LOG_INFO, kLogTag, "MemWarden is starting now");
    IPCThreadState::self()->joinThreadPool(true);
    return 0;
}
