// AndroidShm: the shared-memory service object that the daemon publishes. It keeps
// up to 257 numbered ashmem buffers, the index of the buffer that holds JACK's
// registry, and a small semaphore-simulation array that it can write to the log.
// Calls arrive on several binder pool threads; one mutex guards all of its state.
#pragma once

#include <stdint.h>

#include <binder/MemoryHeapBase.h>
#include <IAndroidShm.h>

#include <mutex>

namespace android {

class AndroidShm : public BnAndroidShm {
public:
    // Indices 0 to 256.
    static constexpr int32_t BUFFER_COUNT = 257;
    // The largest buffer that allocate() creates; larger requests give -1.
    static constexpr int32_t MAX_BUFFER_SIZE = 64 * 1024 * 1024;
    // runCommand("semaphore") logs these int32 counters, eight to a line, at info
    // priority under the tag "AndroidShm".
    static constexpr int SEMAPHORE_COUNT = 32;

    AndroidShm();

    sp<IMemoryHeap> bufferHeap(int32_t index) override;
    // "semaphore" logs the array and gives NO_ERROR; anything else is logged and
    // gives BAD_VALUE.
    int32_t runCommand(const char* command) override;
    // The lowest free index, or -1 when none is free, the size is not in
    // 1..MAX_BUFFER_SIZE, or the heap cannot be created.
    int32_t allocate(int32_t size) override;
    // Any index is accepted; one that holds no buffer is left alone.
    int32_t releaseBuffer(int32_t index) override;
    int32_t checkAllocated(int32_t index) override;
    // Stores any value unchanged, allocated or not.
    int32_t setRegistryIndex(int32_t index) override;
    // NO_REGISTRY_INDEX (257) until the first store.
    int32_t getRegistryIndex() override;

private:
    std::mutex mLock;
    sp<MemoryHeapBase> mBuffers[BUFFER_COUNT];
    int32_t mRegistryIndex = NO_REGISTRY_INDEX;
    int32_t mSemaphores[SEMAPHORE_COUNT] = {};
};

// Creates the service and registers it with the service manager under
// "com.velmora.android.kel.IAndroidShm". Gives addService's status.
int jack_instantiate();

}  // namespace android
