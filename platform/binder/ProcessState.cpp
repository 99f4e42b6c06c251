// ProcessState and IPCThreadState: the serving threads of this process.
#include <binder/IPCThreadState.h>
#include <binder/ProcessState.h>

#include <mutex>
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
    mThreadPoolStarted = true;
    std::thread(binder_transport::serve_forever).detach();
}

IPCThreadState* IPCThreadState::self() {
    static thread_local IPCThreadState state;
    return &state;
}

void IPCThreadState::joinThreadPool(bool /*isMain*/) { binder_transport::serve_forever(); }

}  // namespace android
