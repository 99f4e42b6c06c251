// ProcessState and IPCThreadState: the serving threads of this process.
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>

#include <android/log.h>

#include <mutex>
#include <system_error>
#include <thread>

#include "transport.h"

namespace android {

namespace {
std::mutex& process_lock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}
}  // namespace

ProcessState::ProcessState() = default;
ProcessState::~ProcessState() = default;

sp<ProcessState> ProcessState::self() {
    static const sp<ProcessState>* const state = new sp<ProcessState>(new ProcessState);
    return *state;
}

void ProcessState::startThreadPool() {
    std::lock_guard<std::mutex> guard(process_lock());
    if (mThreadPoolStarted) return;
    try {
        std::thread(binder_transport::serve_forever).detach();
        mThreadPoolStarted = true;
    } catch (const std::system_error& error) {
        // No thread to spare (few threads or little address space left): the pool
        // then has only the threads that join it, and a later call tries again.
        __android_log_print(ANDROID_LOG_ERROR, "binder", "cannot start a pool thread: %s",
                            error.what());
    }
}

IPCThreadState* IPCThreadState::self() {
    static thread_local IPCThreadState state;
    return &state;
}

void IPCThreadState::joinThreadPool(bool /*isMain*/) { binder_transport::serve_forever(); }

}  // namespace android
