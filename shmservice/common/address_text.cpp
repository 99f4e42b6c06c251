// The printed form of a buffer address.
#include "address_text.h"

#include <cinttypes>
#include <cstdio>

address_text_t format_address(uintptr_t address) {
    address_text_t out;
    if (address == BUFFER_BASE_FAILED) {
        std::snprintf(out.text, sizeof out.text, "0xffffffff");
    } else {
        std::snprintf(out.text, sizeof out.text, "0x%" PRIxPTR, address);
    }
    return out;
}
