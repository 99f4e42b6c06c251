// Fuzzes wardenpeek's registry printing. The input gives the buffer's size, a fill
// byte and the buffer's first bytes; the buffer is allocated at exactly that size
// and the rest of it holds the fill byte, so that texts without a NUL run to the end
// of their fields and any read past the buffer is caught. Output goes to /dev/null.
//   input: size (32 bits, taken modulo twice a registry), fill byte, bytes
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "registry_dump.h"

namespace {

FILE* sink = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sink = std::fopen("/dev/null", "w");
    FUZZ_EXPECT(sink != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input_t in{data, size};
    const size_t registry_size = take_u32(in) % (2 * REGISTRY_SIZE);
    const uint8_t fill = take_u8(in);
    std::unique_ptr<uint8_t[]> registry(new uint8_t[registry_size]);
    std::memset(registry.get(), fill, registry_size);
    size_t given = 0;
    const uint8_t* bytes = take_bytes(in, registry_size, &given);
    if (given > 0) std::memcpy(registry.get(), bytes, given);

    print_registry_header(registry.get(), registry_size, sink);
    print_registry_body(registry.get(), registry_size, sink);
    return 0;
}
