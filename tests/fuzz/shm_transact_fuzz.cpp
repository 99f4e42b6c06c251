// Fuzzes the shared-memory service's stub: a local AndroidShm object receives a
// sequence of transactions with arbitrary codes, bytes and descriptors, as the
// serving thread hands them over. Heaps that replies carry join the targets, so
// that their own stub is reached as well. Each input starts from a fresh service.
//   each transaction: target and token flag, code, descriptor count, data length
//   (16 bits), data
#include <AndroidShm.h>
#include <IAndroidShm.h>
#include <binder/IMemory.h>
#include <binder/Parcel.h>

#include "fuzz_input.h"

using namespace android;

namespace {

constexpr int MAX_TRANSACTIONS = 32;
constexpr size_t MAX_TARGETS = 8;

uint32_t choose_code(fuzz_input_t& in) {
    const uint8_t choice = take_u8(in);
    switch (choice % 12) {
    case 8:
        return IBinder::PING_TRANSACTION;
    case 9:
        return IBinder::INTERFACE_TRANSACTION;
    case 10:
        return 0;
    case 11:
        return take_u32(in);
    default:  // the service's codes and the first one past them
        return IBinder::FIRST_CALL_TRANSACTION + choice % 12;
    }
}

// What the service's answers promise whatever it was asked.
void check_reply(uint32_t code, status_t status, const Parcel& reply) {
    if (status != NO_ERROR) return;
    int32_t value = 0;
    switch (code - IBinder::FIRST_CALL_TRANSACTION) {
    case 2:  // allocate
        FUZZ_EXPECT(reply.readInt32(&value) == NO_ERROR);
        FUZZ_EXPECT(value >= -1 && value < AndroidShm::BUFFER_COUNT);
        break;
    case 4:  // checkAllocated
        FUZZ_EXPECT(reply.readInt32(&value) == NO_ERROR);
        FUZZ_EXPECT(value == 0 || value == 1);
        break;
    default:
        break;
    }
    reply.setDataPosition(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input_t in{data, size};
    const sp<AndroidShm> service = new AndroidShm();
    std::vector<sp<IBinder>> targets{service};
    for (int n = 0; n < MAX_TRANSACTIONS && in.size > 0; ++n) {
        const uint8_t target_choice = take_u8(in);
        const size_t target_index = target_choice % targets.size();
        const sp<IBinder> target = targets[target_index];
        const bool with_token = target_choice & 0x80;
        const uint32_t code = choose_code(in);
        const uint8_t fd_choice = take_u8(in);
        size_t length = 0;
        const uint8_t* bytes = take_bytes(in, take_u16(in), &length);

        // The service's own interface token in front, when asked, so that the
        // fuzzer need not find it before it reaches the calls.
        Parcel token;
        if (with_token) token.writeInterfaceToken(target->getInterfaceDescriptor());
        std::vector<uint8_t> request(token.data(), token.data() + token.dataSize());
        request.insert(request.end(), bytes, bytes + length);
        const std::vector<int> fds = open_fuzz_fds(fd_choice % 17, fd_choice >> 4);

        Parcel parcel, reply;
        parcel.ipcSetData(request.data(), request.size(), {}, fds);
        const status_t status = target->transact(code, parcel, &reply);
        if (target_index == 0) check_reply(code, status, reply);
        if (status == NO_ERROR && reply.ipcObjects().size() > 0) {
            const sp<IBinder> object = reply.readStrongBinder();
            if (object != nullptr && targets.size() < MAX_TARGETS) targets.push_back(object);
        }
    }
    return 0;
}
