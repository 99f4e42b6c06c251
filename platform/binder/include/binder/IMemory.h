// IMemoryHeap: a shared-memory region served by one process and mapped into each
// process that holds a reference to it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <binder/IInterface.h>

namespace android {

class IMemoryHeap : public IInterface {
public:
    DECLARE_META_INTERFACE(MemoryHeap)

    enum { READ_ONLY = 0x00000001 };

    virtual int getHeapID() const = 0;
    virtual void* getBase() const = 0;
    virtual size_t getSize() const = 0;
    virtual uint32_t getFlags() const = 0;
    virtual uint32_t getOffset() const = 0;

    void* base() const { return getBase(); }
    size_t virtualSize() const { return getSize(); }
};

class BnMemoryHeap : public BnInterface<IMemoryHeap> {
public:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags = 0) override;

protected:
    BnMemoryHeap();
    ~BnMemoryHeap() override;
};

}  // namespace android
