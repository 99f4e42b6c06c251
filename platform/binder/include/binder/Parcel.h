// Parcel: the data of one transaction. Items are padded to 4 bytes and reads
// advance dataPosition(). Binder objects and file descriptors are written as a tag
// and an index into side tables that the transport carries beside the bytes.
// Every read checks its bounds: past the end, a lying length, a wrong tag or a
// string16 at an odd position reads as the documented failure value, never as
// memory outside the parcel.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/String16.h>

#include <vector>

namespace android {

class IBinder;

class Parcel {
public:
    Parcel();
    ~Parcel();
    Parcel(const Parcel&) = delete;
    Parcel& operator=(const Parcel&) = delete;

    const uint8_t* data() const;
    size_t dataSize() const;
    size_t dataAvail() const;
    size_t dataPosition() const;
    void setDataPosition(size_t pos) const;
    // Empties the parcel and closes the descriptors that it owns.
    void freeData();

    status_t writeInterfaceToken(const String16& interface);
    bool enforceInterface(const String16& interface) const;
    bool checkInterface(IBinder* binder) const;

    status_t writeInt32(int32_t val);
    status_t writeInt64(int64_t val);
    status_t writeCString(const char* str);
    status_t writeString16(const String16& str);
    status_t writeString16(const char16_t* str, size_t len);
    status_t writeStrongBinder(const sp<IBinder>& val);
    status_t writeFileDescriptor(int fd, bool takeOwnership = false);
    status_t writeDupFileDescriptor(int fd);

    int32_t readInt32() const;
    status_t readInt32(int32_t* pArg) const;
    int64_t readInt64() const;
    status_t readInt64(int64_t* pArg) const;
    // Points into the parcel; null when no NUL is left before the end.
    const char* readCString() const;
    String16 readString16() const;
    const char16_t* readString16Inplace(size_t* outLen) const;
    sp<IBinder> readStrongBinder() const;
    // The parcel still owns the descriptor: dup() what you keep. BAD_TYPE on failure.
    int readFileDescriptor() const;

    // For the transport: the side tables, in the order in which they were written.
    struct fd_entry {
        int fd;
        bool owned;
    };
    const std::vector<sp<IBinder>>& ipcObjects() const { return mObjects; }
    const std::vector<fd_entry>& ipcFds() const { return mFds; }
    // Replaces the contents with received bytes, objects and descriptors (owned).
    void ipcSetData(const uint8_t* bytes, size_t size, std::vector<sp<IBinder>> objects,
                    const std::vector<int>& ownedFds);

private:
    status_t writeAligned(const void* bytes, size_t size);
    const void* readInplace(size_t size) const;
    status_t writeObjectTag(uint32_t tag, size_t index);
    bool readObjectTag(uint32_t tag, size_t count, size_t* index) const;
    void closeOwnedFds();

    std::vector<uint8_t> mData;
    mutable size_t mDataPos = 0;
    std::vector<sp<IBinder>> mObjects;
    std::vector<fd_entry> mFds;
};

}  // namespace android
