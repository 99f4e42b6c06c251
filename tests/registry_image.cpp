// The test registry image and its expected dump.
#include "registry_image.h"

#include <cstdlib>
#include <cstring>

namespace registry_image {

namespace {

void put32(uint8_t* at, int32_t value) { std::memcpy(at, &value, 4); }
void put16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, 2); }

}  // namespace

void write_registry(uint8_t* base) {
    std::memset(base, 0, 71736);
    put32(base + 0, 0x4a41434b);
    put16(base + 4, 65535);
    put32(base + 8, -2);
    put32(base + 12, 71736);
    put32(base + 16, 2104);
    put32(base + 20, 272);
    for (int i = 0; i < 8; ++i) {
        uint8_t* slot = base + 24 + 260 * i;
        put32(slot, i == 0 ? 4242 : 0);
        if (i == 0) std::strcpy(reinterpret_cast<char*>(slot + 4), "default");
    }
    // Slot 7's name fills all 256 bytes with no NUL; entry 0's pid follows it.
    std::memset(base + 24 + 260 * 7 + 4, 'N', 256);
    for (int i = 0; i < 256; ++i) {
        uint8_t* entry = base + 2104 + 272 * i;
        put16(entry, static_cast<uint16_t>(i == 3 ? -5 : i));
        put32(entry + 4, i * 7);
        put32(entry + 8, i * 1000);
        std::snprintf(reinterpret_cast<char*>(entry + 12), 256, "jack-%d", i);
        put32(entry + 268, 100 + i);
    }
    // Entry 255's id has no NUL either; the next bytes (its fd) must not be printed.
    std::memset(base + 2104 + 272 * 255 + 12, 'I', 256);
}

std::vector<std::string> expected_header(const std::string& address) {
    std::vector<std::string> lines = {
        "<<<<<<<<<<  register header value  >>>>>>>>>>",
        "memory address " + address + " " + address,
        "magic = 1245791051",
        "protocol = 65535",
        "type = -2",
        "size = 71736",
        "hdr_len = 2104",
        "entry_len = 272",
        "server[0] pid = 4242, name = default",
    };
    for (int i = 1; i < 7; ++i) lines.push_back("server[" + std::to_string(i) + "] pid = 0, name = ");
    lines.push_back("server[7] pid = 0, name = " + std::string(256, 'N'));
    return lines;
}

std::vector<std::string> expected_body() {
    std::vector<std::string> lines = {"<<<<<<<<<< registry body value >>>>>>>>>>"};
    char line[600];
    for (int i = 255; i >= 0; --i) {
        const std::string id = i == 255 ? std::string(256, 'I') : "jack-" + std::to_string(i);
        std::snprintf(line, sizeof line,
                      "registry[%3d] index[%3d],allocator[%3d],size[%6d],id[%10s],fd[%3d]", i,
                      i == 3 ? -5 : i, i * 7, i * 1000, id.c_str(), 100 + i);
        lines.push_back(line);
    }
    return lines;
}

std::string hex(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%jx", static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

std::string print_to_string(void (*print)(const uint8_t*, size_t, FILE*), const uint8_t* base,
                            size_t size) {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    print(base, size, out);
    std::fclose(out);
    std::string result(text, length);
    std::free(text);
    return result;
}

}  // namespace registry_image
