// MemoryHeapBase: a heap that owns an ashmem region, mapped read-write here and
// handed to other processes as its file descriptor.
#pragma once

#include <binder/IMemory.h>

namespace android {

class MemoryHeapBase : public virtual BnMemoryHeap {
public:
    // Rounds `size` up to whole pages. On failure: descriptor -1, base MAP_FAILED, size 0.
    explicit MemoryHeapBase(size_t size, uint32_t flags = 0, char const* name = nullptr);
    ~MemoryHeapBase() override;

    int getHeapID() const override { return mFD; }
    void* getBase() const override { return mBase; }
    size_t getSize() const override { return mSize; }
    uint32_t getFlags() const override { return mFlags; }
    uint32_t getOffset() const override { return 0; }

private:
    int mFD;
    size_t mSize;
    void* mBase;
    uint32_t mFlags;
};

}  // namespace android
