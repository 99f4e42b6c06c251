// The registry's header and entries, printed field by field.
#include "registry_dump.h"

#include <cstdio>
#include <cstring>

#include "address_text.h"

namespace {

int32_t read_int32(const uint8_t* at) {
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool registry_fits(size_t size, FILE* out) {
    if (size >= REGISTRY_SIZE) return true;
    std::fprintf(out, "registry buffer holds %zu bytes, less than the %zu bytes of a registry\n",
                 size, REGISTRY_SIZE);
    return false;
}

}  // namespace

void print_registry_header(const uint8_t* base, size_t size, FILE* out) {
    if (!registry_fits(size, out)) return;
    const address_text_t address = format_address(reinterpret_cast<uintptr_t>(base));
    std::fprintf(out, "<<<<<<<<<<  register header value  >>>>>>>>>>\n");
    std::fprintf(out, "memory address %s %s\n", address.text, address.text);

    uint16_t protocol;
    std::memcpy(&protocol, base + 4, sizeof protocol);
    std::fprintf(out, "magic = %d\n", read_int32(base + 0));
    std::fprintf(out, "protocol = %d\n", protocol);
    std::fprintf(out, "type = %d\n", read_int32(base + 8));
    std::fprintf(out, "size = %d\n", read_int32(base + 12));
    std::fprintf(out, "hdr_len = %d\n", read_int32(base + 16));
    std::fprintf(out, "entry_len = %d\n", read_int32(base + 20));
    for (int i = 0; i < REGISTRY_SERVER_COUNT; ++i) {
        const uint8_t* slot = base + REGISTRY_SERVER_OFFSET + REGISTRY_SERVER_SIZE * i;
        std::fprintf(out, "server[%d] pid = %d, name = %.256s\n", i, read_int32(slot),
                     reinterpret_cast<const char*>(slot + 4));
    }
}

void print_registry_body(const uint8_t* base, size_t size, FILE* out) {
    if (!registry_fits(size, out)) return;
    std::fprintf(out, "<<<<<<<<<< registry body value >>>>>>>>>>\n");
    for (int i = REGISTRY_ENTRY_COUNT - 1; i >= 0; --i) {
        const uint8_t* entry = base + REGISTRY_HEADER_SIZE + REGISTRY_ENTRY_SIZE * i;
        int16_t index;
        std::memcpy(&index, entry, sizeof index);
        std::fprintf(out,
                     "registry[%3d] index[%3d],allocator[%3d],size[%6d],id[%10.256s],fd[%3d]\n", i,
                     index, read_int32(entry + 4), read_int32(entry + 8),
                     reinterpret_cast<const char*>(entry + 12), read_int32(entry + 268));
    }
}
