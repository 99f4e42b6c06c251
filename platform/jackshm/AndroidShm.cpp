// The shared-memory service object and its registration with the service manager.
#include <AndroidShm.h>

#include <android/log.h>
#include <binder/IServiceManager.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "shm_service_name.h"

namespace android {

namespace {

const char kLogTag[] = "AndroidShm";

bool valid_index(int32_t index) {
    return index >= 0 && index < AndroidShm::BUFFER_COUNT;
}

// A caller's text as one log line: a control character written as \n, \t or \xNN
// (and a backslash as \\), so that no caller can forge a line or a record of
// another tag in the log.
std::string loggable(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += *c;
        }
    }
    return out;
}

}  // namespace

AndroidShm::AndroidShm() = default;

sp<IMemoryHeap> AndroidShm::bufferHeap(int32_t index) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!valid_index(index)) return nullptr;
    return mBuffers[index];
}

int32_t AndroidShm::runCommand(const char* command) {
    if (command == nullptr || std::strcmp(command, "semaphore") != 0) {
        __android_log_print(ANDROID_LOG_INFO, kLogTag, "unknown command: %s",
                            command != nullptr ? loggable(command).c_str() : "(null)");
        return BAD_VALUE;
    }
    std::lock_guard<std::mutex> guard(mLock);
    for (int first = 0; first < SEMAPHORE_COUNT; first += 8) {
        const int32_t* s = mSemaphores + first;
        __android_log_print(ANDROID_LOG_INFO, kLogTag, "semaphore[%2d..%2d] %d %d %d %d %d %d %d %d",
                            first, first + 7, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    }
    return NO_ERROR;
}

int32_t AndroidShm::allocate(int32_t size) {
    if (size <= 0 || size > MAX_BUFFER_SIZE) return -1;
    std::lock_guard<std::mutex> guard(mLock);
    for (int32_t index = 0; index < BUFFER_COUNT; ++index) {
        if (mBuffers[index] != nullptr) continue;
        sp<MemoryHeapBase> heap = new MemoryHeapBase(static_cast<size_t>(size), 0, "jackshm");
        if (heap->getBase() == MAP_FAILED) return -1;
        mBuffers[index] = heap;
        return index;
    }
    return -1;
}

int32_t AndroidShm::releaseBuffer(int32_t index) {
    std::lock_guard<std::mutex> guard(mLock);
    if (valid_index(index)) mBuffers[index].clear();
    return NO_ERROR;
}

int32_t AndroidShm::checkAllocated(int32_t index) {
    std::lock_guard<std::mutex> guard(mLock);
    return valid_index(index) && mBuffers[index] != nullptr ? 1 : 0;
}

int32_t AndroidShm::setRegistryIndex(int32_t index) {
    std::lock_guard<std::mutex> guard(mLock);
    mRegistryIndex = index;
    return NO_ERROR;
}

int32_t AndroidShm::getRegistryIndex() {
    std::lock_guard<std::mutex> guard(mLock);
    return mRegistryIndex;
}

int jack_instantiate() {
    return defaultServiceManager()->addService(String16(SHM_SERVICE_NAME),
                                               new AndroidShm());
}

}  // namespace android
