// memwarden: publishes the shared-memory service and serves its binder calls on the
// process's thread pool for the rest of its life. Arguments are ignored.
#include <android/log.h>
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>

#include <AndroidShm.h>

using namespace android;

int main() {
    jack_instantiate();
    ProcessState::self()->startThreadPool();
    __android_log_print(ANDROID_LOG_INFO, "main_memwarden", "MemWarden is starting now");
    IPCThreadState::self()->joinThreadPool(true);
    return 0;
}
