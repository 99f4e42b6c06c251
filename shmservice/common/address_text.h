// An address as the shared-memory tools print it. No binder here, so the registry
// printer that uses it builds for any target.
#pragma once

#include <stdint.h>

// The failure value of a buffer-base lookup (getBufferBase's): all bits set.
constexpr uintptr_t BUFFER_BASE_FAILED = static_cast<uintptr_t>(-1);

// "0x" and full hex, except that the failure value prints as "0xffffffff", as on the
// 32-bit device.
struct address_text_t {
    char text[2 + 2 * sizeof(uintptr_t) + 1];
};
address_text_t format_address(uintptr_t address);
