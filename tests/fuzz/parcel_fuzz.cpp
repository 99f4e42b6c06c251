// Fuzzes every Parcel read over arbitrary bytes. The input gives the descriptors and
// objects that the parcel carries beside its bytes, the bytes themselves, and then a
// sequence of reads and position changes. Each read must stay inside the parcel and
// give either a documented failure value or something that the parcel holds.
//   input: fd count, object count, data length (16 bits), data, then one byte per
//   step (a position change takes 4 more bytes)
#include <binder/Binder.h>
#include <binder/Parcel.h>
#include <utils/String16.h>

#include "shm_service_name.h"

#include <algorithm>

#include "fuzz_input.h"

using namespace android;

namespace {

void check_inside(const Parcel& parcel, const void* item, size_t bytes) {
    const auto* at = static_cast<const uint8_t*>(item);
    FUZZ_EXPECT(at >= parcel.data() && bytes <= parcel.dataSize() &&
                size_t(at - parcel.data()) <= parcel.dataSize() - bytes);
}

void step(const Parcel& parcel, fuzz_input_t& in, const std::vector<sp<IBinder>>& objects,
          const std::vector<int>& fds) {
    const size_t before = parcel.dataPosition();
    switch (take_u8(in) % 13) {
    case 0:
        parcel.readInt32();
        break;
    case 1: {
        int32_t value = 0;
        if (parcel.readInt32(&value) == NO_ERROR) FUZZ_EXPECT(parcel.dataPosition() == before + 4);
        else FUZZ_EXPECT(parcel.dataPosition() == before);
        break;
    }
    case 2:
        parcel.readInt64();
        break;
    case 3: {
        int64_t value = 0;
        if (parcel.readInt64(&value) == NO_ERROR) FUZZ_EXPECT(parcel.dataPosition() == before + 8);
        else FUZZ_EXPECT(parcel.dataPosition() == before);
        break;
    }
    case 4: {
        const char* text = parcel.readCString();
        if (text != nullptr) {
            const size_t length = strnlen(text, parcel.dataSize() - before);
            check_inside(parcel, text, length + 1);
        }
        break;
    }
    case 5:
        parcel.readString16();
        break;
    case 6: {
        size_t length = 0;
        const char16_t* text = parcel.readString16Inplace(&length);
        if (text != nullptr) {
            check_inside(parcel, text, (length + 1) * sizeof(char16_t));
        } else {
            FUZZ_EXPECT(length == 0);
        }
        break;
    }
    case 7: {
        const sp<IBinder> object = parcel.readStrongBinder();
        if (object != nullptr) {
            FUZZ_EXPECT(std::find(objects.begin(), objects.end(), object) != objects.end());
        }
        break;
    }
    case 8: {
        const int fd = parcel.readFileDescriptor();
        FUZZ_EXPECT(fd == BAD_TYPE || std::find(fds.begin(), fds.end(), fd) != fds.end());
        break;
    }
    case 9:
        parcel.setDataPosition(take_u32(in));
        break;
    case 10:
        // Small moves, so that unaligned positions inside the data come up often.
        parcel.setDataPosition(before + (take_u8(in) % 9) - 4);
        break;
    case 11:
        parcel.enforceInterface(String16(SHM_SERVICE_NAME));
        break;
    case 12: {
        const sp<IBinder> local = new BBinder();
        parcel.checkInterface(local.get());
        break;
    }
    }
    FUZZ_EXPECT(parcel.dataAvail() <= parcel.dataSize());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input_t in{data, size};
    const size_t fd_count = take_u8(in) % 17;
    const size_t object_count = take_u8(in) % 5;
    size_t data_size = 0;
    const uint8_t* bytes = take_bytes(in, take_u16(in), &data_size);

    std::vector<sp<IBinder>> objects;
    for (size_t i = 0; i < object_count; ++i) objects.push_back(i % 2 == 0 ? new BBinder() : nullptr);
    const std::vector<int> fds = open_fuzz_fds(fd_count, 0x5555);
    {
        Parcel parcel;
        parcel.ipcSetData(bytes, data_size, objects, fds);
        FUZZ_EXPECT(parcel.dataSize() == data_size && parcel.dataPosition() == 0);
        for (int steps = 0; in.size > 0 && steps < 256; ++steps) step(parcel, in, objects, fds);
    }
    // The parcel owned the descriptors that it was given.
    for (int fd : fds) FUZZ_EXPECT(!fd_is_open(fd));
    return 0;
}
