// The shared-memory service object in this process: buffer indices, sizes, the
// registry index and commands, then the binder stub and the proxy over it, without
// a daemon.
#include <AndroidShm.h>
#include <gtest/gtest.h>
#include <binder/Parcel.h>
#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <thread>

using namespace android;

namespace {

constexpr int32_t kCap = AndroidShm::MAX_BUFFER_SIZE;
const int32_t kOddIndices[] = {INT32_MIN, -257, -1, 257, 258, 1000000, INT32_MAX};

TEST(allocate, gives_the_lowest_free_index) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_EQ(shm->allocate(100), 0);
    EXPECT_EQ(shm->allocate(100), 1);
    EXPECT_EQ(shm->allocate(100), 2);
    shm->releaseBuffer(1);
    shm->releaseBuffer(0);
    EXPECT_EQ(shm->allocate(100), 0);
    EXPECT_EQ(shm->allocate(100), 1);
    EXPECT_EQ(shm->allocate(100), 3);
}

TEST(allocate, fills_all_257_indices_then_refuses) {
    sp<AndroidShm> shm = new AndroidShm();
    for (int32_t i = 0; i <= 256; ++i) ASSERT_EQ(shm->allocate(1), i);
    EXPECT_EQ(shm->allocate(1), -1);
    shm->releaseBuffer(200);
    EXPECT_EQ(shm->allocate(1), 200);
    EXPECT_EQ(shm->allocate(1), -1);
}

TEST(allocate, refuses_sizes_outside_one_byte_to_the_cap) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_EQ(shm->allocate(0), -1);
    EXPECT_EQ(shm->allocate(-1), -1);
    EXPECT_EQ(shm->allocate(INT32_MIN), -1);
    EXPECT_EQ(shm->allocate(kCap + 1), -1);
    EXPECT_EQ(shm->allocate(INT32_MAX), -1);
    for (int32_t i = 0; i <= 256; ++i) EXPECT_EQ(shm->checkAllocated(i), 0) << i;
    EXPECT_EQ(shm->allocate(kCap), 0);
    EXPECT_EQ(shm->allocate(1), 1);
}

TEST(buffers, heap_is_mapped_writable_and_at_least_the_size_asked) {
    sp<AndroidShm> shm = new AndroidShm();
    const int32_t index = shm->allocate(10000);
    const sp<IMemoryHeap> heap = shm->bufferHeap(index);
    ASSERT_NE(heap, nullptr);
    ASSERT_NE(heap->getBase(), MAP_FAILED);
    EXPECT_GE(heap->getSize(), 10000u);
    std::memset(heap->getBase(), 0x5a, 10000);
    // The same buffer again, not a new one.
    const sp<IMemoryHeap> again = shm->bufferHeap(index);
    EXPECT_EQ(again->getBase(), heap->getBase());
    EXPECT_EQ(static_cast<unsigned char*>(again->getBase())[9999], 0x5a);
}

TEST(buffers, release_and_check_take_any_index) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_EQ(shm->allocate(64), 0);
    for (int32_t index : kOddIndices) {
        EXPECT_EQ(shm->checkAllocated(index), 0) << index;
        EXPECT_EQ(shm->bufferHeap(index), nullptr) << index;
        EXPECT_EQ(shm->releaseBuffer(index), NO_ERROR) << index;
    }
    // Releasing an index that holds nothing leaves the others alone.
    shm->releaseBuffer(1);
    EXPECT_EQ(shm->checkAllocated(0), 1);
    EXPECT_EQ(shm->checkAllocated(1), 0);
    EXPECT_EQ(shm->checkAllocated(256), 0);
    shm->releaseBuffer(0);
    EXPECT_EQ(shm->checkAllocated(0), 0);
    EXPECT_EQ(shm->bufferHeap(0), nullptr);
}

TEST(buffers, a_released_heap_stays_mapped_for_who_holds_it) {
    sp<AndroidShm> shm = new AndroidShm();
    const sp<IMemoryHeap> heap = shm->bufferHeap(shm->allocate(4096));
    ASSERT_NE(heap, nullptr);
    shm->releaseBuffer(0);
    static_cast<volatile char*>(heap->getBase())[4095] = 1;
    EXPECT_EQ(static_cast<char*>(heap->getBase())[4095], 1);
}

TEST(registry_index, is_above_256_before_any_store) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_GT(shm->getRegistryIndex(), 256);
    EXPECT_EQ(shm->getRegistryIndex(), IAndroidShm::NO_REGISTRY_INDEX);
}

TEST(registry_index, stores_any_value_unchanged) {
    sp<AndroidShm> shm = new AndroidShm();
    for (int32_t value : {1, 0, 256, 257, -1, INT32_MIN, INT32_MAX, 12345}) {
        EXPECT_EQ(shm->setRegistryIndex(value), NO_ERROR);
        EXPECT_EQ(shm->getRegistryIndex(), value);
    }
    // It names no allocated buffer and allocates none.
    EXPECT_EQ(shm->checkAllocated(12345), 0);
    EXPECT_EQ(shm->checkAllocated(0), 0);
}

TEST(run_command, knows_only_semaphore) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_EQ(shm->runCommand("semaphore"), NO_ERROR);
    EXPECT_EQ(shm->runCommand("Semaphore"), BAD_VALUE);
    EXPECT_EQ(shm->runCommand(""), BAD_VALUE);
    EXPECT_EQ(shm->runCommand(nullptr), BAD_VALUE);
}

TEST(concurrency, threads_allocating_at_once_never_share_an_index) {
    sp<AndroidShm> shm = new AndroidShm();
    int32_t got[8][32];
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 32; ++k) got[t][k] = shm->allocate(16);
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int> seen(257, 0);
    for (auto& row : got) {
        for (int32_t index : row) {
            ASSERT_GE(index, 0);
            ASSERT_LE(index, 255);
            ++seen[index];
        }
    }
    for (int i = 0; i < 256; ++i) EXPECT_EQ(seen[i], 1) << i;
    EXPECT_EQ(shm->checkAllocated(256), 0);
}

// The stub, reached through BBinder::transact with hand-made parcels. The codes
// follow the interface's declaration order from FIRST_CALL_TRANSACTION.
enum {
    BUFFER_HEAP = IBinder::FIRST_CALL_TRANSACTION,
    RUN_COMMAND,
    ALLOCATE,
    RELEASE_BUFFER,
    CHECK_ALLOCATED,
    SET_REGISTRY_INDEX,
    GET_REGISTRY_INDEX,
};

status_t call(const sp<IBinder>& binder, uint32_t code, Parcel& data, Parcel* reply) {
    return binder->transact(code, data, reply);
}

TEST(stub, answers_each_code_in_declaration_order) {
    sp<AndroidShm> shm = new AndroidShm();
    const sp<IBinder> binder = shm->asBinder();
    Parcel data, reply;
    data.writeInterfaceToken(IAndroidShm::descriptor);
    data.writeInt32(5000);
    ASSERT_EQ(call(binder, ALLOCATE, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), 0);

    Parcel check, checked;
    check.writeInterfaceToken(IAndroidShm::descriptor);
    check.writeInt32(0);
    ASSERT_EQ(call(binder, CHECK_ALLOCATED, check, &checked), NO_ERROR);
    EXPECT_EQ(checked.readInt32(), 1);

    Parcel heap_call, heap_reply;
    heap_call.writeInterfaceToken(IAndroidShm::descriptor);
    heap_call.writeInt32(0);
    ASSERT_EQ(call(binder, BUFFER_HEAP, heap_call, &heap_reply), NO_ERROR);
    EXPECT_EQ(heap_reply.readStrongBinder(), shm->bufferHeap(0)->asBinder());

    Parcel set, set_reply, get, get_reply;
    set.writeInterfaceToken(IAndroidShm::descriptor);
    set.writeInt32(-7);
    ASSERT_EQ(call(binder, SET_REGISTRY_INDEX, set, &set_reply), NO_ERROR);
    get.writeInterfaceToken(IAndroidShm::descriptor);
    ASSERT_EQ(call(binder, GET_REGISTRY_INDEX, get, &get_reply), NO_ERROR);
    EXPECT_EQ(get_reply.readInt32(), -7);

    Parcel release, release_reply;
    release.writeInterfaceToken(IAndroidShm::descriptor);
    release.writeInt32(0);
    ASSERT_EQ(call(binder, RELEASE_BUFFER, release, &release_reply), NO_ERROR);
    EXPECT_EQ(shm->checkAllocated(0), 0);

    Parcel run, run_reply;
    run.writeInterfaceToken(IAndroidShm::descriptor);
    run.writeCString("bogus");
    ASSERT_EQ(call(binder, RUN_COMMAND, run, &run_reply), NO_ERROR);
    EXPECT_EQ(run_reply.readInt32(), BAD_VALUE);
}

TEST(stub, refuses_a_wrong_token_missing_arguments_and_unknown_codes) {
    sp<AndroidShm> shm = new AndroidShm();
    const sp<IBinder> binder = shm->asBinder();
    Parcel reply;

    Parcel wrong;
    wrong.writeInterfaceToken(String16("android.utils.IMemoryHeap"));
    wrong.writeInt32(100);
    EXPECT_EQ(call(binder, ALLOCATE, wrong, &reply), PERMISSION_DENIED);
    Parcel empty;
    EXPECT_EQ(call(binder, ALLOCATE, empty, &reply), PERMISSION_DENIED);
    EXPECT_EQ(shm->checkAllocated(0), 0);

    for (uint32_t code : {BUFFER_HEAP, ALLOCATE, RELEASE_BUFFER, CHECK_ALLOCATED,
                          SET_REGISTRY_INDEX}) {
        Parcel token_only;
        token_only.writeInterfaceToken(IAndroidShm::descriptor);
        EXPECT_EQ(call(binder, code, token_only, &reply), NOT_ENOUGH_DATA) << code;
    }
    EXPECT_EQ(shm->getRegistryIndex(), IAndroidShm::NO_REGISTRY_INDEX);

    // A command without its terminating NUL: the bytes end before one is found.
    Parcel no_string;
    no_string.writeInterfaceToken(IAndroidShm::descriptor);
    EXPECT_EQ(call(binder, RUN_COMMAND, no_string, &reply), BAD_VALUE);

    Parcel unknown;
    unknown.writeInterfaceToken(IAndroidShm::descriptor);
    EXPECT_EQ(call(binder, GET_REGISTRY_INDEX + 1, unknown, &reply), UNKNOWN_TRANSACTION);
    EXPECT_EQ(call(binder, IBinder::LAST_CALL_TRANSACTION, unknown, &reply), UNKNOWN_TRANSACTION);
    EXPECT_EQ(binder->pingBinder(), NO_ERROR);
}

TEST(as_interface, gives_the_local_object_itself) {
    sp<AndroidShm> shm = new AndroidShm();
    EXPECT_EQ(IAndroidShm::asInterface(shm->asBinder()).get(), static_cast<IAndroidShm*>(shm.get()));
    EXPECT_EQ(IAndroidShm::asInterface(nullptr), nullptr);
}

// A binder object that passes every transaction on to the service but does not
// admit to being it, so that asInterface makes a proxy: proxy and stub meet in
// this process through the same parcels as over a connection.
class forwarding_binder : public BBinder {
public:
    explicit forwarding_binder(const sp<IBinder>& target) : target_(target) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override {
        data.setDataPosition(0);
        return target_->transact(code, data, reply, flags);
    }

private:
    sp<IBinder> target_;
};

TEST(proxy, carries_every_call_to_the_service) {
    sp<AndroidShm> shm = new AndroidShm();
    const sp<IAndroidShm> proxy = IAndroidShm::asInterface(new forwarding_binder(shm->asBinder()));
    ASSERT_NE(proxy.get(), static_cast<IAndroidShm*>(shm.get()));

    EXPECT_EQ(proxy->allocate(4096), 0);
    EXPECT_EQ(proxy->allocate(0), -1);
    EXPECT_EQ(proxy->checkAllocated(0), 1);
    EXPECT_EQ(proxy->checkAllocated(INT32_MIN), 0);
    const sp<IMemoryHeap> heap = proxy->bufferHeap(0);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->getBase(), shm->bufferHeap(0)->getBase());
    EXPECT_EQ(proxy->bufferHeap(1), nullptr);
    EXPECT_EQ(proxy->getRegistryIndex(), IAndroidShm::NO_REGISTRY_INDEX);
    EXPECT_EQ(proxy->setRegistryIndex(INT32_MAX), NO_ERROR);
    EXPECT_EQ(shm->getRegistryIndex(), INT32_MAX);
    EXPECT_EQ(proxy->runCommand("semaphore"), NO_ERROR);
    EXPECT_EQ(proxy->runCommand("other"), BAD_VALUE);
    EXPECT_EQ(proxy->releaseBuffer(0), NO_ERROR);
    EXPECT_EQ(shm->checkAllocated(0), 0);
}

TEST(proxy, a_failed_call_reads_as_no_service) {
    // A plain binder object knows none of the service's codes.
    const sp<IAndroidShm> proxy = IAndroidShm::asInterface(new BBinder());
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->bufferHeap(0), nullptr);
    EXPECT_EQ(proxy->allocate(100), -1);
    EXPECT_EQ(proxy->checkAllocated(0), 0);
    EXPECT_GT(proxy->getRegistryIndex(), 256);
    EXPECT_EQ(proxy->runCommand("semaphore"), UNKNOWN_TRANSACTION);
    EXPECT_EQ(proxy->releaseBuffer(0), UNKNOWN_TRANSACTION);
    EXPECT_EQ(proxy->setRegistryIndex(0), UNKNOWN_TRANSACTION);
}

}  // namespace
