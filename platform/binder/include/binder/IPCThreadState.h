// IPCThreadState: the calling thread's binder state.
#pragma once

namespace android {

class IPCThreadState {
public:
    static IPCThreadState* self();

    // The calling thread serves incoming calls until the process ends. With `isMain`
    // false it would be allowed to leave when idle; the host pool never does.
    void joinThreadPool(bool isMain = true);

private:
    IPCThreadState() = default;
};

}  // namespace android
