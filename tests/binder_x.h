// IX: the small interface that the binder tests call, with its proxy BpX and its
// stub BnX. The stub is served by binder_peer in another process, or by a test in
// its own process; it reports what it received and what it holds open, so that the
// tests can judge the transport from the outside.
#pragma once

#include <binder/IInterface.h>
#include <binder/IMemory.h>
#include <binder/MemoryHeapBase.h>

#include <atomic>
#include <mutex>

namespace android {

class IX : public IInterface {
public:
    DECLARE_META_INTERFACE(X)

    enum {
        ADD = IBinder::FIRST_CALL_TRANSACTION,  // int32 a, b -> int32 a + b
        DATA_SIZE,    // anything -> int32 dataSize(), int64 sum of the int32s after the token
        FAIL_WITH,    // int32 status -> that status as the result
        NOTE,         // (one-way) counts one
        NOTES,        // -> int32 count of NOTE calls so far
        OPEN_PIPE,    // -> write end of a new pipe (the stub keeps the read end), int64 st_ino
        PIPE_READ,    // -> CString of what the read end holds (waits up to 2 s for data)
        PIPE_AT_EOF,  // -> int32 1 once every write end is closed (waits up to 2 s)
        STAT_FD,      // descriptor -> int64 st_dev, int64 st_ino
        GET_HEAP,     // -> the stub's heap
        HEAP_READ,    // int32 offset -> int32 at that offset of the heap
        HEAP_WRITE,   // int32 offset, int32 value
        FD_COUNT,     // -> int32 number of descriptors open in the serving process
        GET_PID,      // -> int32 pid of the serving process
        BIG_REPLY,    // int32 n -> n int32s 0, 1, ... n-1
    };

    virtual status_t add(int32_t a, int32_t b, int32_t* sum) = 0;
    virtual status_t note() = 0;
    virtual status_t notes(int32_t* count) = 0;
    virtual status_t fdCount(int32_t* count) = 0;
    virtual status_t pid(int32_t* pid) = 0;
    virtual sp<IMemoryHeap> heap() = 0;
    virtual status_t heapRead(int32_t offset, int32_t* value) = 0;
    virtual status_t heapWrite(int32_t offset, int32_t value) = 0;
};

class BpX : public BpInterface<IX> {
public:
    explicit BpX(const sp<IBinder>& impl) : BpInterface<IX>(impl) {}

    status_t add(int32_t a, int32_t b, int32_t* sum) override;
    status_t note() override;
    status_t notes(int32_t* count) override;
    status_t fdCount(int32_t* count) override;
    status_t pid(int32_t* pid) override;
    sp<IMemoryHeap> heap() override;
    status_t heapRead(int32_t offset, int32_t* value) override;
    status_t heapWrite(int32_t offset, int32_t value) override;

private:
    // One call that takes no arguments and answers one int32.
    status_t callForInt(uint32_t code, int32_t* out);
};

class BnX : public BnInterface<IX> {
public:
    explicit BnX(size_t heapSize = 3 * 4096);

    status_t add(int32_t a, int32_t b, int32_t* sum) override;
    status_t note() override;
    status_t notes(int32_t* count) override;
    status_t fdCount(int32_t* count) override;
    status_t pid(int32_t* pid) override;
    sp<IMemoryHeap> heap() override { return mHeap; }
    status_t heapRead(int32_t offset, int32_t* value) override;
    status_t heapWrite(int32_t offset, int32_t value) override;

    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;

protected:
    ~BnX() override;

private:
    int32_t* heapWord(int32_t offset) const;

    sp<MemoryHeapBase> mHeap;
    std::atomic<int32_t> mNotes{0};
    std::mutex mPipeLock;
    int mPipeRead = -1;
};

}  // namespace android
