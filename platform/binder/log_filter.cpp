// On the host, Debian's liblog prints info and above unless told otherwise, and does
// not read ANDROID_LOG_TAGS itself. This start-up hook applies its "*:<level>" entry,
// the way logcat filters on the device, so that debug lines can be seen.
#include <android/log.h>
#include <stdlib.h>

#include <cstring>

namespace {

int priority_of(char level) {
    switch (level) {
    case 'v': case 'V': return ANDROID_LOG_VERBOSE;
    case 'd': case 'D': return ANDROID_LOG_DEBUG;
    case 'i': case 'I': return ANDROID_LOG_INFO;
    case 'w': case 'W': return ANDROID_LOG_WARN;
    case 'e': case 'E': return ANDROID_LOG_ERROR;
    case 'f': case 'F': return ANDROID_LOG_FATAL;
    case 's': case 'S': return ANDROID_LOG_SILENT;
    default: return -1;
    }
}

__attribute__((constructor)) void apply_log_tags() {
    const char* tags = getenv("ANDROID_LOG_TAGS");
    if (tags == nullptr) return;
    for (const char* at = std::strstr(tags, "*:"); at != nullptr; at = std::strstr(at + 2, "*:")) {
        const int priority = priority_of(at[2]);
        if (priority >= 0) __android_log_set_minimum_priority(priority);
    }
}

}  // namespace
