// The five tests of wardencheck. They change the service's state as they go: every
// index is released before each test, the registry index is left at 0 and the
// buffer of the last test stays allocated.
#include "wardencheck.h"

#include <android/log.h>

#include <cstring>

#include "shm_client.h"

using namespace android;

namespace {

const char kTag[] = "WardenCheck";
constexpr int32_t kBufferSize = 10000;

#define LOG_DEBUG(...) __android_log_print(ANDROID_LOG_DEBUG, kTag, __VA_ARGS__)
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kTag, __VA_ARGS__)

void log_error_line(const char* message) {
    LOG_ERROR("%s", message);
}

uint32_t read_word(uintptr_t base) {
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const void*>(base), sizeof word);
    return word;
}

// Steps 3 to 5 of the increase tests on one buffer.
void increase_value(int32_t index) {
    const uintptr_t base = getBufferBase(index, log_error_line);
    if (base == BUFFER_BASE_FAILED) {
        LOG_ERROR("Error shared memory not available\n");
        return;
    }
    void* address = reinterpret_cast<void*>(base);
    LOG_DEBUG("WardenCheck base=%p Data=0x%x\n", address, read_word(base));
    const uint32_t changed = read_word(base) + 1;
    std::memcpy(address, &changed, sizeof changed);
    LOG_DEBUG("WardenCheck base=%p Data=0x%x CHANGED\n", address, changed);
}

}  // namespace

void release_all() {
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    for (int32_t i = 0; i <= SHM_MAX_INDEX; ++i) service->releaseBuffer(i);
}

void increase_value_once() {
    LOG_DEBUG("*****test: increase_value_once*****\n");
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    increase_value(service->allocate(kBufferSize));
}

void increase_value_10times() {
    LOG_DEBUG("*****test: increase_value_10times*****\n");
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    const int32_t index = service->allocate(kBufferSize);
    for (int i = 0; i < 10; ++i) increase_value(index);
}

void check_allocated() {
    LOG_DEBUG("*****test: check_allocated*****\n");
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    const int32_t index = service->allocate(kBufferSize);
    bool differed = false;
    for (int32_t i = 0; i <= SHM_MAX_INDEX; ++i) {
        if (service->checkAllocated(i) != (i == index ? 1 : 0)) {
            LOG_DEBUG("failed\n");
            differed = true;
        }
    }
    LOG_DEBUG("%s", differed ? "fail\n" : "pass\n");
}

void test_set_get_registry_index() {
    LOG_DEBUG("*****test: test_set_get_registry_index*****\n");
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    service->setRegistryIndex(1);
    LOG_DEBUG("%s", service->getRegistryIndex() == 1 ? "pass\n" : "fail\n");
    service->setRegistryIndex(0);
    LOG_DEBUG("%s", service->getRegistryIndex() == 0 ? "pass\n" : "fail\n");
}

void test_memset() {
    LOG_DEBUG("*****test: test_memset*****\n");
    const sp<IAndroidShm> service = getShmService();
    if (service == nullptr) return;
    const uintptr_t base = getBufferBase(service->allocate(kBufferSize), log_error_line);
    if (base == BUFFER_BASE_FAILED) {
        LOG_ERROR("Error shared memory not available\n");
        return;
    }
    void* address = reinterpret_cast<void*>(base);
    int32_t words[4];
    std::memset(address, 0, kBufferSize);
    LOG_DEBUG("result : 0 0 0 0\n");
    std::memcpy(words, address, sizeof words);
    LOG_DEBUG("memory dump : %d %d %d %d\n", words[0], words[1], words[2], words[3]);
    std::memset(address, 0xff, kBufferSize);
    LOG_DEBUG("result : -1 -1 -1 -1\n");
    std::memcpy(words, address, sizeof words);
    LOG_DEBUG("memory dump : %d %d %d %d", words[0], words[1], words[2], words[3]);
}

void run_all_tests() {
    release_all();
    increase_value_once();
    release_all();
    increase_value_10times();
    release_all();
    check_allocated();
    release_all();
    test_set_get_registry_index();
    release_all();
    test_memset();
}
