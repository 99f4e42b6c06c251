// A registry image with recognisable values, and the lines the dump tool must print
// for it; used by the printer's own tests and by the tests of wardenpeek.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace registry_image {

// Writes the 71736-byte registry at `base` (any alignment): header fields at 0..20,
// server slot i at 24 + 260 i (pid, then name at +4), entry i at 2104 + 272 i
// (index, allocator at +4, size at +8, id at +12, fd at +268). Slot 7's name and
// entry 255's id fill their 256 bytes without a NUL.
void write_registry(uint8_t* base);

// The header lines for the image at `address` (as the tools print it), and the body lines.
std::vector<std::string> expected_header(const std::string& address);
std::vector<std::string> expected_body();

// "0x" and the address in lower-case hex, by the C library's own conversion.
std::string hex(const void* address);

// What `print` writes for the buffer at `base` of `size` bytes.
std::string print_to_string(void (*print)(const uint8_t*, size_t, FILE*), const uint8_t* base,
                            size_t size);

}  // namespace registry_image
