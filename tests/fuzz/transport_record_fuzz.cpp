// Fuzzes the transport's decoding of one received record: arbitrary bytes, in a
// buffer of exactly their length, with a chosen number of descriptors and receive
// flags. A refused record must have closed its descriptors; an accepted one must
// describe exactly the bytes it came in. Accepted requests then go, as the serving
// side hands them over, to a fresh shared-memory service published as handle 0.
//   input: receive-flag choice, descriptor count, then the record bytes
#include <AndroidShm.h>
#include <binder/Binder.h>
#include <sys/socket.h>

#include <memory>

#include "fuzz_input.h"
#include "transport.h"

using namespace android;
using namespace android::binder_transport;

namespace {

int receive_flags(uint8_t choice) {
    switch (choice % 16) {
    case 1:
        return MSG_CTRUNC;
    case 2:
        return MSG_TRUNC;
    default:
        return 0;
    }
}

void serve(const record_t& record) {
    const wire_header& header = record.header;
    const sp<AndroidShm> service = new AndroidShm();
    std::vector<sp<IBinder>> objects;
    for (uint32_t handle : record.handles) {
        objects.push_back(handle == kRootHandle ? sp<IBinder>(service) : nullptr);
    }
    Parcel data, reply;
    data.ipcSetData(record.data, header.data_size, std::move(objects), record.fds);
    if (header.kind == kRequest && header.handle == kRootHandle) {
        service->transact(header.code, data, &reply, header.flags);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input_t in{data, size};
    const int flags = receive_flags(take_u8(in));
    const size_t fd_count = take_u8(in) % (kMaxFds + 2);
    // A copy of exactly the record's length, so that any read past it is caught.
    const size_t length = in.size;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[length]);
    if (length > 0) std::memcpy(bytes.get(), in.data, length);

    record_t record;
    record.fds = open_fuzz_fds(fd_count, 0x3);
    const std::vector<int> fds = record.fds;
    const char* why = nullptr;
    const received got = decode_record(bytes.get(), length, flags, &record, &why);
    if (got == received::malformed) {
        FUZZ_EXPECT(why != nullptr && record.fds.empty());
        for (int fd : fds) FUZZ_EXPECT(!fd_is_open(fd));
        return 0;
    }
    FUZZ_EXPECT(got == received::record);
    const wire_header& header = record.header;
    FUZZ_EXPECT(flags == 0 && header.magic == kWireMagic);
    FUZZ_EXPECT(record.data == bytes.get() + sizeof header);
    FUZZ_EXPECT(length == sizeof header + header.data_size + record.handles.size() * sizeof(uint32_t));
    FUZZ_EXPECT(header.data_size <= kMaxDataBytes && header.data_size % 4 == 0);
    FUZZ_EXPECT(record.handles.size() == header.object_count && header.object_count <= kMaxObjects);
    FUZZ_EXPECT(record.fds == fds && fds.size() == header.fd_count);
    if (!record.handles.empty()) {
        FUZZ_EXPECT(std::memcmp(record.handles.data(), record.data + header.data_size,
                                record.handles.size() * sizeof(uint32_t)) == 0);
    }
    serve(record);  // the parcel takes the descriptors and closes them
    for (int fd : fds) FUZZ_EXPECT(!fd_is_open(fd));
    return 0;
}
