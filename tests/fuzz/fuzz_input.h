// Helpers shared by the fuzz targets: taking values from the front of an input,
// and opening real descriptors for parcels and records to carry.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// The part of an input not yet taken. Taking past the end gives zeros, so that every
// input, however short, decodes to something.
struct fuzz_input_t {
    const uint8_t* data;
    size_t size;
};

inline uint8_t take_u8(fuzz_input_t& in) {
    if (in.size == 0) return 0;
    const uint8_t value = in.data[0];
    ++in.data;
    --in.size;
    return value;
}

inline uint16_t take_u16(fuzz_input_t& in) {
    const uint16_t low = take_u8(in);
    return static_cast<uint16_t>(low | (take_u8(in) << 8));
}

inline uint32_t take_u32(fuzz_input_t& in) {
    const uint32_t low = take_u16(in);
    return low | (static_cast<uint32_t>(take_u16(in)) << 16);
}

// Up to `count` bytes; *taken gets how many there were.
inline const uint8_t* take_bytes(fuzz_input_t& in, size_t count, size_t* taken) {
    *taken = count < in.size ? count : in.size;
    const uint8_t* bytes = in.data;
    in.data += *taken;
    in.size -= *taken;
    return bytes;
}

// A broken expectation: says which and aborts, which libFuzzer reports as a crash.
#define FUZZ_EXPECT(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

// `count` fresh descriptors: a memory file (bit i of `kinds` set) or /dev/null.
inline std::vector<int> open_fuzz_fds(size_t count, uint32_t kinds) {
    std::vector<int> fds;
    for (size_t i = 0; i < count; ++i) {
        const int fd = (kinds >> (i % 32)) & 1 ? memfd_create("fuzz", MFD_CLOEXEC)
                                               : open("/dev/null", O_RDWR | O_CLOEXEC);
        FUZZ_EXPECT(fd >= 0);
        fds.push_back(fd);
    }
    return fds;
}

inline bool fd_is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }
