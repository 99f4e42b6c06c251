// The proxy and the stub of the test interface IX.
#include "binder_x.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace android {

IMPLEMENT_META_INTERFACE(X, "jack.test.IX")

status_t BpX::add(int32_t a, int32_t b, int32_t* sum) {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    data.writeInt32(a);
    data.writeInt32(b);
    const status_t status = remote()->transact(ADD, data, &reply);
    if (status != NO_ERROR) return status;
    return reply.readInt32(sum);
}

status_t BpX::note() {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    return remote()->transact(NOTE, data, &reply, IBinder::FLAG_ONEWAY);
}

status_t BpX::callForInt(uint32_t code, int32_t* out) {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    const status_t status = remote()->transact(code, data, &reply);
    if (status != NO_ERROR) return status;
    return reply.readInt32(out);
}

status_t BpX::notes(int32_t* count) { return callForInt(NOTES, count); }
status_t BpX::fdCount(int32_t* count) { return callForInt(FD_COUNT, count); }
status_t BpX::pid(int32_t* pid) { return callForInt(GET_PID, pid); }

sp<IMemoryHeap> BpX::heap() {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    if (remote()->transact(GET_HEAP, data, &reply) != NO_ERROR) return nullptr;
    return interface_cast<IMemoryHeap>(reply.readStrongBinder());
}

status_t BpX::heapRead(int32_t offset, int32_t* value) {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    data.writeInt32(offset);
    const status_t status = remote()->transact(HEAP_READ, data, &reply);
    if (status != NO_ERROR) return status;
    return reply.readInt32(value);
}

status_t BpX::heapWrite(int32_t offset, int32_t value) {
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    data.writeInt32(offset);
    data.writeInt32(value);
    return remote()->transact(HEAP_WRITE, data, &reply);
}

BnX::BnX(size_t heapSize) : mHeap(new MemoryHeapBase(heapSize, 0, "binder-test")) {}

BnX::~BnX() {
    if (mPipeRead >= 0) close(mPipeRead);
}

status_t BnX::add(int32_t a, int32_t b, int32_t* sum) {
    *sum = a + b;
    return NO_ERROR;
}

status_t BnX::note() {
    ++mNotes;
    return NO_ERROR;
}

status_t BnX::notes(int32_t* count) {
    *count = mNotes.load();
    return NO_ERROR;
}

status_t BnX::fdCount(int32_t* count) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return UNKNOWN_ERROR;
    int32_t n = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(dir);
    *count = n - 1;  // not the one that lists them
    return NO_ERROR;
}

status_t BnX::pid(int32_t* pid) {
    *pid = getpid();
    return NO_ERROR;
}

int32_t* BnX::heapWord(int32_t offset) const {
    if (mHeap->getBase() == MAP_FAILED || offset < 0 || offset % 4 != 0 ||
        size_t(offset) + 4 > mHeap->getSize()) {
        return nullptr;
    }
    return reinterpret_cast<int32_t*>(static_cast<char*>(mHeap->getBase()) + offset);
}

status_t BnX::heapRead(int32_t offset, int32_t* value) {
    const int32_t* word = heapWord(offset);
    if (!word) return BAD_VALUE;
    *value = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    return NO_ERROR;
}

status_t BnX::heapWrite(int32_t offset, int32_t value) {
    int32_t* word = heapWord(offset);
    if (!word) return BAD_VALUE;
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
    return NO_ERROR;
}

namespace {

// Waits up to two seconds for `fd` to become readable (or to reach its end).
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

}  // namespace

status_t BnX::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    int32_t a = 0, b = 0, value = 0;
    status_t status = NO_ERROR;
    switch (code) {
    case ADD:
        CHECK_INTERFACE(IX, data, reply);
        if (data.readInt32(&a) != NO_ERROR || data.readInt32(&b) != NO_ERROR) return BAD_VALUE;
        add(a, b, &value);
        return reply->writeInt32(value);
    case DATA_SIZE: {
        CHECK_INTERFACE(IX, data, reply);
        int64_t sum = 0;
        while (data.readInt32(&value) == NO_ERROR) sum += value;
        reply->writeInt32(int32_t(data.dataSize()));
        return reply->writeInt64(sum);
    }
    case FAIL_WITH:
        CHECK_INTERFACE(IX, data, reply);
        return data.readInt32();
    case NOTE:
        CHECK_INTERFACE(IX, data, reply);
        return note();
    case NOTES:
        CHECK_INTERFACE(IX, data, reply);
        notes(&value);
        return reply->writeInt32(value);
    case OPEN_PIPE: {
        CHECK_INTERFACE(IX, data, reply);
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return NO_MEMORY;
        struct stat st {};
        fstat(ends[1], &st);
        {
            std::lock_guard<std::mutex> hold(mPipeLock);
            if (mPipeRead >= 0) close(mPipeRead);
            mPipeRead = ends[0];
        }
        // The reply owns the write end: once it is sent, this process holds none.
        reply->writeFileDescriptor(ends[1], true);
        return reply->writeInt64(int64_t(st.st_ino));
    }
    case PIPE_READ: {
        CHECK_INTERFACE(IX, data, reply);
        std::lock_guard<std::mutex> hold(mPipeLock);
        char buffer[256] = {};
        if (mPipeRead < 0 || !readable(mPipeRead)) return TIMED_OUT;
        const ssize_t n = read(mPipeRead, buffer, sizeof buffer - 1);
        if (n < 0) return UNKNOWN_ERROR;
        return reply->writeCString(buffer);
    }
    case PIPE_AT_EOF: {
        CHECK_INTERFACE(IX, data, reply);
        std::lock_guard<std::mutex> hold(mPipeLock);
        char byte;
        const bool eof = mPipeRead >= 0 && readable(mPipeRead) && read(mPipeRead, &byte, 1) == 0;
        return reply->writeInt32(eof ? 1 : 0);
    }
    case STAT_FD: {
        CHECK_INTERFACE(IX, data, reply);
        struct stat st {};
        const int fd = data.readFileDescriptor();
        if (fd < 0 || fstat(fd, &st) != 0) return BAD_VALUE;
        reply->writeInt64(int64_t(st.st_dev));
        return reply->writeInt64(int64_t(st.st_ino));
    }
    case GET_HEAP:
        CHECK_INTERFACE(IX, data, reply);
        return reply->writeStrongBinder(mHeap);
    case HEAP_READ:
        CHECK_INTERFACE(IX, data, reply);
        status = heapRead(data.readInt32(), &value);
        if (status != NO_ERROR) return status;
        return reply->writeInt32(value);
    case HEAP_WRITE:
        CHECK_INTERFACE(IX, data, reply);
        a = data.readInt32();
        return heapWrite(a, data.readInt32());
    case FD_COUNT:
        CHECK_INTERFACE(IX, data, reply);
        status = fdCount(&value);
        if (status != NO_ERROR) return status;
        return reply->writeInt32(value);
    case GET_PID:
        CHECK_INTERFACE(IX, data, reply);
        pid(&value);
        return reply->writeInt32(value);
    case BIG_REPLY:
        CHECK_INTERFACE(IX, data, reply);
        a = data.readInt32();
        for (int32_t i = 0; i < a; ++i) reply->writeInt32(i);
        return NO_ERROR;
    default:
        return BBinder::onTransact(code, data, reply, flags);
    }
}

}  // namespace android
