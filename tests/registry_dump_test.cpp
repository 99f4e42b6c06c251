// The registry printer on buffers of the test's own (short, unaligned, ending at an
// unmapped page, with unterminated texts), and the address form of both tools at
// the pointer width of the build: 64 bits here, 32 bits on the device's ARM.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "address_text.h"
#include "registry_dump.h"
#include "registry_image.h"
#include "util.h"

using namespace registry_image;

namespace {

TEST(registry_dump, reads_a_registry_at_an_odd_address) {
    std::vector<uint8_t> memory(71736 + 8);
    uint8_t* odd = memory.data() + 1;
    write_registry(odd);
    EXPECT_EQ(harness::split_lines(print_to_string(print_registry_header, odd, 71736)),
              expected_header(hex(odd)));
    EXPECT_EQ(harness::split_lines(print_to_string(print_registry_body, odd, 71736)), expected_body());
}

TEST(registry_dump, reads_nothing_past_the_buffer) {
    // The buffer ends where an inaccessible page begins: one byte too far faults.
    const size_t page = size_t(sysconf(_SC_PAGESIZE)), span = ((71736 + page - 1) / page) * page;
    uint8_t* map = static_cast<uint8_t*>(
        mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map + span, page, PROT_NONE), 0);
    uint8_t* base = map + span - 71736;
    write_registry(base);
    // Entry 255 holds the last bytes: its fd.
    EXPECT_EQ(harness::split_lines(print_to_string(print_registry_body, base, 71736)), expected_body());

    const std::string refused =
        "registry buffer holds 71735 bytes, less than the 71736 bytes of a registry\n";
    EXPECT_EQ(print_to_string(print_registry_header, base + 1, 71735), refused);
    EXPECT_EQ(print_to_string(print_registry_body, base + 1, 71735), refused);
    EXPECT_EQ(print_to_string(print_registry_body, nullptr, 0),
              "registry buffer holds 0 bytes, less than the 71736 bytes of a registry\n");
    munmap(map, span + page);
}

TEST(address_text, failure_value_and_small_addresses) {
    EXPECT_STREQ(format_address(BUFFER_BASE_FAILED).text, "0xffffffff");
    EXPECT_STREQ(format_address(0x1000).text, "0x1000");
    EXPECT_STREQ(format_address(0).text, "0x0");
    // The failure value on 32 bits, an ordinary address on 64: the same text either way.
    EXPECT_STREQ(format_address(uintptr_t(0xffffffffu)).text, "0xffffffff");
}

TEST(address_text, widest_addresses_print_in_full_at_the_pointer_width) {
    const size_t digits = 2 * sizeof(uintptr_t);
    EXPECT_EQ(sizeof(address_text_t::text), 2 + digits + 1);
    // Top bit set: no sign, no cut, every digit.
    const uintptr_t top = uintptr_t(1) << (8 * sizeof(uintptr_t) - 1);
    EXPECT_EQ(std::string(format_address(top).text), "0x8" + std::string(digits - 1, '0'));
    // One below the failure value is an address like any other and fills the text.
    EXPECT_EQ(std::string(format_address(BUFFER_BASE_FAILED - 1).text),
              "0x" + std::string(digits - 1, 'f') + "e");
    if (sizeof(uintptr_t) == 8) {
        EXPECT_STREQ(format_address(static_cast<uintptr_t>(0x7f0012345678ull)).text, "0x7f0012345678");
    } else {
        EXPECT_EQ(sizeof(uintptr_t), 4u);
        EXPECT_STREQ(format_address(uintptr_t(0xb6f01234u)).text, "0xb6f01234");
    }
}

TEST(address_text, a_real_address_prints_as_the_c_library_converts_it) {
    std::vector<uint8_t> heap(16);
    int on_stack = 0;
    for (const void* address : {static_cast<const void*>(heap.data()),
                                static_cast<const void*>(&on_stack)}) {
        EXPECT_EQ(format_address(reinterpret_cast<uintptr_t>(address)).text, hex(address));
    }
}

}  // namespace
