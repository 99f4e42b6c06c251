// IMemoryHeap across processes: the stub hands out the heap's descriptor, and the
// proxy maps it on first use, one mapping per heap per process.
#include <binder/IMemory.h>

#include <android/log.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace android {

namespace {

enum { HEAP_ID = IBinder::FIRST_CALL_TRANSACTION };

// One mapping of a heap's file, shared by every proxy of that heap in this process.
struct heap_mapping_t {
    int fd = -1;
    void* base = MAP_FAILED;
    size_t size = 0;
    uint32_t flags = 0;
    uint32_t offset = 0;
    std::pair<dev_t, ino_t> key;
    ~heap_mapping_t();
};

struct mapping_cache_t {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<heap_mapping_t>> mappings;
};

// Never freed, so that heaps released during exit still find it.
mapping_cache_t& mapping_cache() {
    static mapping_cache_t* const cache = new mapping_cache_t;
    return *cache;
}

heap_mapping_t::~heap_mapping_t() {
    if (base != MAP_FAILED) munmap(base, size);
    if (fd >= 0) close(fd);
    mapping_cache_t& cache = mapping_cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto found = cache.mappings.find(key);
    if (found != cache.mappings.end() && found->second.expired()) cache.mappings.erase(found);
}

// The live mapping of the heap file `key` in this process, or null.
std::shared_ptr<heap_mapping_t> cached_mapping(const std::pair<dev_t, ino_t>& key) {
    mapping_cache_t& cache = mapping_cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto found = cache.mappings.find(key);
    return found != cache.mappings.end() ? found->second.lock() : nullptr;
}

// Maps the heap that a HEAP_ID reply describes, or finds its existing mapping.
std::shared_ptr<heap_mapping_t> map_heap(int fd, int32_t size, uint32_t flags, uint32_t offset) {
    struct stat st;
    const long page = sysconf(_SC_PAGESIZE);
    if (fd < 0 || size <= 0 || offset % page != 0 || fstat(fd, &st) != 0) return nullptr;
    // Mapping past the end of the file would fault on first touch.
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(size) + offset > static_cast<uint64_t>(st.st_size)) {
        __android_log_print(ANDROID_LOG_ERROR, "binder", "heap of %d bytes exceeds its file", size);
        return nullptr;
    }
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    if (auto existing = cached_mapping(key)) return existing;
    // Mapped without the cache's lock: a mapping that fails (no descriptor or no
    // address space left) is destroyed at once, and its destructor takes that lock.
    auto mapping = std::make_shared<heap_mapping_t>();
    mapping->key = key;
    mapping->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (mapping->fd < 0) return nullptr;
    const int prot = (flags & IMemoryHeap::READ_ONLY) ? PROT_READ : PROT_READ | PROT_WRITE;
    mapping->base = mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, mapping->fd, offset);
    if (mapping->base == MAP_FAILED) return nullptr;
    mapping->size = static_cast<size_t>(size);
    mapping->flags = flags;
    mapping->offset = offset;
    mapping_cache_t& cache = mapping_cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    // Another thread may have mapped the same heap meanwhile: one mapping stands, and
    // this one goes after the lock is released (it was declared before the guard).
    auto found = cache.mappings.find(key);
    if (found != cache.mappings.end()) {
        if (auto existing = found->second.lock()) return existing;
    }
    cache.mappings[key] = mapping;
    return mapping;
}

class BpMemoryHeap : public BpInterface<IMemoryHeap> {
public:
    explicit BpMemoryHeap(const sp<IBinder>& impl) : BpInterface<IMemoryHeap>(impl) {}

    int getHeapID() const override {
        auto mapping = mapped();
        return mapping ? mapping->fd : -1;
    }
    void* getBase() const override {
        auto mapping = mapped();
        return mapping ? mapping->base : MAP_FAILED;
    }
    size_t getSize() const override {
        auto mapping = mapped();
        return mapping ? mapping->size : 0;
    }
    uint32_t getFlags() const override {
        auto mapping = mapped();
        return mapping ? mapping->flags : 0;
    }
    uint32_t getOffset() const override {
        auto mapping = mapped();
        return mapping ? mapping->offset : 0;
    }

private:
    // The first getter asks the server; after a failure the next one asks again.
    std::shared_ptr<heap_mapping_t> mapped() const {
        std::lock_guard<std::mutex> guard(mLock);
        if (mMapping) return mMapping;
        Parcel data, reply;
        data.writeInterfaceToken(IMemoryHeap::getInterfaceDescriptor());
        const status_t status = remote()->transact(HEAP_ID, data, &reply);
        if (status != NO_ERROR) {
            __android_log_print(ANDROID_LOG_ERROR, "binder", "heap query failed: status %d", status);
            return nullptr;
        }
        const int fd = reply.readFileDescriptor();
        int32_t size = 0, flags = 0, offset = 0;
        if (reply.readInt32(&size) != NO_ERROR || reply.readInt32(&flags) != NO_ERROR ||
            reply.readInt32(&offset) != NO_ERROR) {
            return nullptr;
        }
        mMapping = map_heap(fd, size, static_cast<uint32_t>(flags), static_cast<uint32_t>(offset));
        return mMapping;
    }

    mutable std::mutex mLock;
    mutable std::shared_ptr<heap_mapping_t> mMapping;
};

}  // namespace

IMPLEMENT_META_INTERFACE(MemoryHeap, "android.utils.IMemoryHeap")

BnMemoryHeap::BnMemoryHeap() = default;
BnMemoryHeap::~BnMemoryHeap() = default;

status_t BnMemoryHeap::onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) {
    switch (code) {
    case HEAP_ID: {
        CHECK_INTERFACE(IMemoryHeap, data, reply);
        if (reply == nullptr) return BAD_VALUE;
        status_t err = reply->writeFileDescriptor(getHeapID());
        if (err == NO_ERROR) err = reply->writeInt32(static_cast<int32_t>(getSize()));
        if (err == NO_ERROR) err = reply->writeInt32(static_cast<int32_t>(getFlags()));
        if (err == NO_ERROR) err = reply->writeInt32(static_cast<int32_t>(getOffset()));
        return err;
    }
    default:
        return BBinder::onTransact(code, data, reply, flags);
    }
}

}  // namespace android
