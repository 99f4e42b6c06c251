// Parcel: bytes padded to 4, plus side tables of binder objects and descriptors.
#include <binder/Parcel.h>

#include <binder/IBinder.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace android {

namespace {

// Tags that precede the table index of an object or a descriptor in the bytes.
constexpr uint32_t kTagBinder = B_PACK_CHARS('s', 'b', '*', 0x85);
constexpr uint32_t kTagNullBinder = B_PACK_CHARS('n', 'b', '*', 0x85);
constexpr uint32_t kTagFd = B_PACK_CHARS('f', 'd', '*', 0x85);
// The policy word that precedes an interface token.
constexpr int32_t kStrictModePolicy = 0x100;

constexpr size_t pad4(size_t size) { return (size + 3) & ~size_t(3); }

}  // namespace

Parcel::Parcel() = default;

Parcel::~Parcel() { closeOwnedFds(); }

const uint8_t* Parcel::data() const { return mData.data(); }
size_t Parcel::dataSize() const { return mData.size(); }
size_t Parcel::dataAvail() const { return mDataPos < mData.size() ? mData.size() - mDataPos : 0; }
size_t Parcel::dataPosition() const { return mDataPos; }
void Parcel::setDataPosition(size_t pos) const { mDataPos = pos; }

void Parcel::freeData() {
    closeOwnedFds();
    mData.clear();
    mDataPos = 0;
    mObjects.clear();
    mFds.clear();
}

void Parcel::closeOwnedFds() {
    for (const fd_entry& entry : mFds) {
        if (entry.owned && entry.fd >= 0) close(entry.fd);
    }
    mFds.clear();
}

void Parcel::ipcSetData(const uint8_t* bytes, size_t size, std::vector<sp<IBinder>> objects,
                        const std::vector<int>& ownedFds) {
    freeData();
    mData.assign(bytes, bytes + size);
    mObjects = std::move(objects);
    for (int fd : ownedFds) mFds.push_back({fd, true});
}

// Writes at the current position, growing the parcel, and pads to 4 with zeros.
status_t Parcel::writeAligned(const void* bytes, size_t size) {
    const size_t padded = pad4(size);
    if (padded < size || mDataPos > SIZE_MAX - padded) return NO_MEMORY;
    if (mDataPos + padded > mData.size()) mData.resize(mDataPos + padded);
    if (size > 0) std::memcpy(mData.data() + mDataPos, bytes, size);
    std::memset(mData.data() + mDataPos + size, 0, padded - size);
    mDataPos += padded;
    return NO_ERROR;
}

// The next `size` bytes (padded) if they all lie inside the parcel, else null.
const void* Parcel::readInplace(size_t size) const {
    const size_t padded = pad4(size);
    if (padded < size || mDataPos > mData.size() || padded > mData.size() - mDataPos) return nullptr;
    const void* item = mData.data() + mDataPos;
    mDataPos += padded;
    return item;
}

status_t Parcel::writeInt32(int32_t val) { return writeAligned(&val, sizeof val); }
status_t Parcel::writeInt64(int64_t val) { return writeAligned(&val, sizeof val); }

status_t Parcel::readInt32(int32_t* pArg) const {
    const void* item = readInplace(sizeof *pArg);
    if (item == nullptr) return NOT_ENOUGH_DATA;
    std::memcpy(pArg, item, sizeof *pArg);
    return NO_ERROR;
}

int32_t Parcel::readInt32() const {
    int32_t val = 0;
    return readInt32(&val) == NO_ERROR ? val : 0;
}

status_t Parcel::readInt64(int64_t* pArg) const {
    const void* item = readInplace(sizeof *pArg);
    if (item == nullptr) return NOT_ENOUGH_DATA;
    std::memcpy(pArg, item, sizeof *pArg);
    return NO_ERROR;
}

int64_t Parcel::readInt64() const {
    int64_t val = 0;
    return readInt64(&val) == NO_ERROR ? val : 0;
}

status_t Parcel::writeCString(const char* str) {
    if (str == nullptr) return BAD_VALUE;
    return writeAligned(str, std::strlen(str) + 1);
}

const char* Parcel::readCString() const {
    if (mDataPos >= mData.size()) return nullptr;
    const char* str = reinterpret_cast<const char*>(mData.data() + mDataPos);
    const void* nul = std::memchr(str, '\0', mData.size() - mDataPos);
    if (nul == nullptr) return nullptr;
    const size_t length = static_cast<const char*>(nul) - str;
    return readInplace(length + 1) != nullptr ? str : nullptr;
}

status_t Parcel::writeString16(const String16& str) { return writeString16(str.string(), str.size()); }

status_t Parcel::writeString16(const char16_t* str, size_t len) {
    if (str == nullptr) return writeInt32(-1);
    if (len > (INT32_MAX / sizeof(char16_t)) - 1) return BAD_VALUE;
    status_t err = writeInt32(static_cast<int32_t>(len));
    if (err != NO_ERROR) return err;
    std::vector<char16_t> units(str, str + len);
    units.push_back(u'\0');
    return writeAligned(units.data(), units.size() * sizeof(char16_t));
}

const char16_t* Parcel::readString16Inplace(size_t* outLen) const {
    const size_t start = mDataPos;
    int32_t len = 0;
    if (readInt32(&len) == NO_ERROR && len == -1) {
        *outLen = 0;  // a null string: its length word is consumed
        return nullptr;
    }
    if (len >= 0 && len < INT32_MAX / 2) {
        const size_t bytes = (static_cast<size_t>(len) + 1) * sizeof(char16_t);
        const auto* str = static_cast<const char16_t*>(readInplace(bytes));
        // After a position change to an odd offset the characters are not aligned
        // for char16_t, and could be neither checked nor handed out as such.
        if (str != nullptr && reinterpret_cast<uintptr_t>(str) % alignof(char16_t) == 0 &&
            str[len] == u'\0') {
            *outLen = static_cast<size_t>(len);
            return str;
        }
    }
    mDataPos = start;
    *outLen = 0;
    return nullptr;
}

String16 Parcel::readString16() const {
    size_t len = 0;
    const char16_t* str = readString16Inplace(&len);
    return str != nullptr ? String16(str, len) : String16();
}

status_t Parcel::writeInterfaceToken(const String16& interface) {
    status_t err = writeInt32(kStrictModePolicy);
    return err != NO_ERROR ? err : writeString16(interface);
}

bool Parcel::enforceInterface(const String16& interface) const {
    int32_t policy = 0;
    if (readInt32(&policy) != NO_ERROR) return false;
    size_t len = 0;
    const char16_t* str = readString16Inplace(&len);
    return str != nullptr && len == interface.size() &&
           std::memcmp(str, interface.string(), len * sizeof(char16_t)) == 0;
}

bool Parcel::checkInterface(IBinder* binder) const {
    return binder != nullptr && enforceInterface(binder->getInterfaceDescriptor());
}

status_t Parcel::writeObjectTag(uint32_t tag, size_t index) {
    status_t err = writeInt32(static_cast<int32_t>(tag));
    return err != NO_ERROR ? err : writeInt32(static_cast<int32_t>(index));
}

bool Parcel::readObjectTag(uint32_t tag, size_t count, size_t* index) const {
    const size_t start = mDataPos;
    int32_t read_tag = 0, read_index = 0;
    if (readInt32(&read_tag) == NO_ERROR && static_cast<uint32_t>(read_tag) == tag &&
        readInt32(&read_index) == NO_ERROR && read_index >= 0 &&
        static_cast<size_t>(read_index) < count) {
        *index = static_cast<size_t>(read_index);
        return true;
    }
    mDataPos = start;
    return false;
}

status_t Parcel::writeStrongBinder(const sp<IBinder>& val) {
    if (val == nullptr) return writeObjectTag(kTagNullBinder, 0);
    mObjects.push_back(val);
    return writeObjectTag(kTagBinder, mObjects.size() - 1);
}

sp<IBinder> Parcel::readStrongBinder() const {
    const size_t start = mDataPos;
    int32_t tag = 0;
    if (readInt32(&tag) == NO_ERROR && static_cast<uint32_t>(tag) == kTagNullBinder) {
        readInt32();
        return nullptr;
    }
    mDataPos = start;
    size_t index = 0;
    if (!readObjectTag(kTagBinder, mObjects.size(), &index)) return nullptr;
    return mObjects[index];
}

status_t Parcel::writeFileDescriptor(int fd, bool takeOwnership) {
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) return BAD_VALUE;
    mFds.push_back({fd, takeOwnership});
    return writeObjectTag(kTagFd, mFds.size() - 1);
}

status_t Parcel::writeDupFileDescriptor(int fd) {
    if (fd < 0) return BAD_VALUE;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return -errno;
    status_t err = writeFileDescriptor(copy, true /*takeOwnership*/);
    if (err != NO_ERROR) close(copy);
    return err;
}

int Parcel::readFileDescriptor() const {
    size_t index = 0;
    if (!readObjectTag(kTagFd, mFds.size(), &index)) return BAD_TYPE;
    return mFds[index].fd;
}

}  // namespace android
