// IAndroidShm: the shared-memory service that keeps numbered buffers for JACK
// processes, as callers reach it over binder.
#pragma once

#include <stdint.h>

#include <binder/IInterface.h>
#include <binder/IMemory.h>

namespace android {

class IAndroidShm : public IInterface {
public:
    DECLARE_META_INTERFACE(AndroidShm)

    // The transaction codes, in the operations' declaration order.
    enum {
        BUFFER_HEAP = IBinder::FIRST_CALL_TRANSACTION,
        RUN_COMMAND,
        ALLOCATE,
        RELEASE_BUFFER,
        CHECK_ALLOCATED,
        SET_REGISTRY_INDEX,
        GET_REGISTRY_INDEX,
    };

    // What getRegistryIndex gives before any store, and what a failed call reads as.
    static constexpr int32_t NO_REGISTRY_INDEX = 257;

    // The heap of buffer `index`; null when that index holds no buffer.
    virtual sp<IMemoryHeap> bufferHeap(int32_t index) = 0;
    // "semaphore" writes the semaphore-simulation array to the log.
    virtual int32_t runCommand(const char* command) = 0;
    // The lowest free index with a new buffer of `size` bytes, or -1.
    virtual int32_t allocate(int32_t size) = 0;
    virtual int32_t releaseBuffer(int32_t index) = 0;
    // Exactly 1 when `index` holds a buffer, exactly 0 otherwise.
    virtual int32_t checkAllocated(int32_t index) = 0;
    virtual int32_t setRegistryIndex(int32_t index) = 0;
    // The index last stored; above 256 (no registry) before any store.
    virtual int32_t getRegistryIndex() = 0;
};

class BnAndroidShm : public BnInterface<IAndroidShm> {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;
};

}  // namespace android
