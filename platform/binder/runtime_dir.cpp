// The private runtime directory and the socket paths in it.
#include "runtime_dir.h"

#include <android/log.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utils/String8.h>

#include <cstdlib>
#include <cstring>

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
constexpr size_t kMaxNameChars = 127;

#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

std::string runtime_dir() {
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/binder";
    return "/tmp/binder-" + std::to_string(geteuid());
}

// The directory holds every service socket of this user: it must be a real
// directory of this user's alone, or another user could plant or reach sockets.
bool private_dir_ready(const std::string& dir, bool create) {
    if (create && mkdir(dir.c_str(), 0700) == 0 && chmod(dir.c_str(), 0700) != 0) {
        LOG_ERROR("cannot set the mode of %s: %s", dir.c_str(), strerror(errno));
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (create) LOG_ERROR("cannot create runtime directory %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
        LOG_ERROR("runtime directory %s is not a mode 0700 directory owned by uid %u; not used",
                  dir.c_str(), static_cast<unsigned>(geteuid()));
        return false;
    }
    return true;
}

}  // namespace

bool fill_address(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool service_path(const String16& name, bool create, std::string* path) {
    const String8 name8(name);
    const std::string text(name8.string(), name8.size());
    if (name.size() < 1 || name.size() > kMaxNameChars || text.find('/') != std::string::npos ||
        text.find('\0') != std::string::npos || text == "." || text == "..") {
        LOG_ERROR("service name \"%s\" is not 1 to %zu characters of a file name", text.c_str(),
                  kMaxNameChars);
        return false;
    }
    const std::string dir = runtime_dir();
    if (!private_dir_ready(dir, create)) return false;
    *path = dir + "/" + text;
    sockaddr_un address;
    if (!fill_address(*path, &address)) {
        LOG_ERROR("socket path %s is too long", path->c_str());
        return false;
    }
    return true;
}

}  // namespace binder_transport
}  // namespace android
