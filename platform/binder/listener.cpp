// Accepting clients on a published service's socket.
#include "listener.h"

#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "server.h"
#include "served_connection.h"

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

// One descriptor kept free for refusing clients when the process has no other.
std::mutex spare_lock;
int spare_fd = -1;

void keep_spare_locked() {
    if (spare_fd < 0) spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

listener_t::listener_t(int fd, std::string path, const sp<IBinder>& published)
    : watched_t(fd), service(published), mPath(std::move(path)) {
    std::lock_guard<std::mutex> guard(spare_lock);
    keep_spare_locked();
}

bool listener_t::refuse_one_at_limit(int err) {
    if (!mAtLimit) {
        LOG_ERROR("out of descriptors (%s) on %s: refusing new clients until some free",
                  strerror(err), mPath.c_str());
        mAtLimit = true;
    }
    std::lock_guard<std::mutex> guard(spare_lock);
    if (spare_fd < 0) return false;
    close(spare_fd);
    spare_fd = -1;
    const int fd = accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    keep_spare_locked();
    return fd >= 0;
}

void listener_t::on_ready(std::vector<uint8_t>&) {
    for (;;) {
        const int fd = accept4(mFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && refuse_one_at_limit(errno)) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EMFILE && errno != ENFILE) {
                LOG_ERROR("accept on %s failed: %s", mPath.c_str(), strerror(errno));
            }
            break;  // all accepted, or nothing more can be done until the next event
        }
        mAtLimit = false;
        pid_t peer_pid = 0;
        accept_one(fd, &peer_pid);
    }
    if (!watch(this, false /*first_time*/)) {
        LOG_ERROR("%s is no longer served", mPath.c_str());
    }
}

void listener_t::accept_one(int fd, pid_t* peer_pid) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        (peer.uid != geteuid() && peer.uid != 0)) {
        LOG_ERROR("refused a client of uid %d (pid %d) on %s", static_cast<int>(peer.uid),
                  static_cast<int>(peer.pid), mPath.c_str());
        close(fd);
        return;
    }
    *peer_pid = peer.pid;
    if (!admit_connection(peer.pid)) {
        close(fd);
        return;
    }
    sp<IBinder> root;
    {
        std::lock_guard<std::mutex> guard(server_lock());
        root = service;
    }
    auto* conn = new served_connection_t(fd, peer.pid, root);
    if (!watch(conn, true /*first_time*/)) delete conn;  // closes fd, counts it gone
}

}  // namespace binder_transport
}  // namespace android
