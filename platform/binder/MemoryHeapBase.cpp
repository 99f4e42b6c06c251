// MemoryHeapBase: an ashmem region of whole pages, mapped read-write.
#include <binder/MemoryHeapBase.h>

#include <cutils/ashmem.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace android {

MemoryHeapBase::MemoryHeapBase(size_t size, uint32_t flags, char const* name)
    : mFD(-1), mSize(0), mBase(MAP_FAILED), mFlags(flags) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size == 0 || size > SIZE_MAX - page) return;
    const size_t rounded = (size + page - 1) / page * page;
    const int fd = ashmem_create_region(name != nullptr ? name : "MemoryHeapBase", rounded);
    if (fd < 0) return;
    // Here a region is a file: reserve its pages now, so that a full filesystem
    // fails the allocation, as ashmem would, instead of faulting the first write.
    if (posix_fallocate(fd, 0, static_cast<off_t>(rounded)) != 0) {
        close(fd);
        return;
    }
    void* base = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return;
    }
    if (flags & READ_ONLY) ashmem_set_prot_region(fd, PROT_READ);
    mFD = fd;
    mSize = rounded;
    mBase = base;
}

MemoryHeapBase::~MemoryHeapBase() {
    if (mBase != MAP_FAILED) munmap(mBase, mSize);
    if (mFD >= 0) close(mFD);
}

}  // namespace android
