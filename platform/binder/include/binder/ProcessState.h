// ProcessState: the process's binder state, and the thread pool that serves the
// services this process has published.
#pragma once

#include <utils/RefBase.h>

namespace android {

class ProcessState : public virtual RefBase {
public:
    static sp<ProcessState> self();

    // Idempotent: starts one pool thread that serves incoming calls.
    void startThreadPool();

private:
    ProcessState();
    ~ProcessState() override;
    friend class sp<ProcessState>;

    bool mThreadPoolStarted = false;
};

}  // namespace android
