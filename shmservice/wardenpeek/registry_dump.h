// Printing JACK's shared-memory registry as it lies in a mapped buffer: a 2104-byte
// header (six integers and 8 server slots of 260 bytes) followed by 256 entries of
// 272 bytes, 71736 bytes in all. Fields are read with memcpy from their offsets, so
// the buffer needs no alignment, and texts are bounded by their 256-byte fields.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

constexpr size_t REGISTRY_HEADER_SIZE = 2104;
constexpr size_t REGISTRY_SERVER_OFFSET = 24;
constexpr size_t REGISTRY_SERVER_SIZE = 260;
constexpr int REGISTRY_SERVER_COUNT = 8;
constexpr size_t REGISTRY_ENTRY_SIZE = 272;
constexpr int REGISTRY_ENTRY_COUNT = 256;
constexpr size_t REGISTRY_SIZE = REGISTRY_HEADER_SIZE + REGISTRY_ENTRY_COUNT * REGISTRY_ENTRY_SIZE;

// Both print, to `out`, what `header` and `body` show of the registry at `base`.
// A buffer of fewer than REGISTRY_SIZE bytes gets one line that says so, and
// nothing is read from it.
void print_registry_header(const uint8_t* base, size_t size, FILE* out);
void print_registry_body(const uint8_t* base, size_t size, FILE* out);
