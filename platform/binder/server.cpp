// The pool's epoll set, the published services and the connection counts.
#include "server.h"

#include <android/log.h>
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "listener.h"
#include "runtime_dir.h"
#include "wire_record.h"

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)
#define LOG_WARN(...) __android_log_print(ANDROID_LOG_WARN, kLogTag, __VA_ARGS__)

// Beyond these, new connections are refused, so that clients cannot exhaust the
// serving process's descriptors, and no one client can take them all.
constexpr size_t kMaxConnections = 512;
constexpr size_t kMaxConnectionsPerPeer = 64;

// Guarded by server_lock(). Never freed: the pool threads run until exit.
struct server_t {
    int epoll_fd = -1;
    std::map<std::string, listener_t*> listeners;
    size_t connections = 0;
    std::map<pid_t, size_t> connections_of;
};

server_t& server() {
    static server_t* const state = new server_t;
    return *state;
}

// The epoll set, made on first use; -1, logged, when it cannot be made.
int epoll_fd_locked() {
    server_t& state = server();
    if (state.epoll_fd < 0) {
        state.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (state.epoll_fd < 0) LOG_ERROR("cannot create the epoll set: %s", strerror(errno));
    }
    return state.epoll_fd;
}

int epoll_fd() {
    std::lock_guard<std::mutex> guard(server_lock());
    return epoll_fd_locked();
}

// Puts `item` into `set` (first time) or re-arms it there, one-shot, handing it to
// whichever pool thread wakes next. False when `set` is -1 or epoll refuses the
// item (errno tells why).
bool arm(int set, watched_t* item, bool first_time) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = item;
    const int fd = item->fd();
    item->hand_over();
    return set >= 0 && epoll_ctl(set, first_time ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) == 0;
}

// Whether a process serves `path` now: someone accepts a connection there.
bool someone_serves(const sockaddr_un& address) {
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    // EAGAIN: its backlog is full, so it lives but does not accept (stopped, or busy).
    const bool served =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN;
    close(probe);
    return served;
}

}  // namespace

std::mutex& server_lock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

bool watch(watched_t* item, bool first_time) {
    const int fd = item->fd();
    if (arm(epoll_fd(), item, first_time)) return true;
    LOG_ERROR("cannot watch descriptor %d: %s", fd, strerror(errno));
    return false;
}

void unwatch(watched_t* item) {
    const int set = epoll_fd();
    // ENOENT: it was never added, or epoll dropped it already.
    if (set >= 0 && epoll_ctl(set, EPOLL_CTL_DEL, item->fd(), nullptr) != 0 && errno != ENOENT) {
        LOG_ERROR("cannot stop watching descriptor %d: %s", item->fd(), strerror(errno));
    }
}

bool admit_connection(pid_t peer) {
    std::lock_guard<std::mutex> guard(server_lock());
    server_t& state = server();
    if (state.connections >= kMaxConnections) {
        LOG_ERROR("refused a client: %zu connections already open", kMaxConnections);
        return false;
    }
    size_t& of_peer = state.connections_of[peer];
    if (of_peer >= kMaxConnectionsPerPeer) {
        LOG_ERROR("refused a client: pid %d holds %zu connections already", static_cast<int>(peer),
                  kMaxConnectionsPerPeer);
        return false;
    }
    ++of_peer;
    ++state.connections;
    return true;
}

void connection_gone(pid_t peer) {
    std::lock_guard<std::mutex> guard(server_lock());
    server_t& state = server();
    --state.connections;
    auto found = state.connections_of.find(peer);
    if (found != state.connections_of.end() && --found->second == 0) {
        state.connections_of.erase(found);
    }
}

status_t publish(const std::string& path, const sp<IBinder>& service) {
    std::lock_guard<std::mutex> guard(server_lock());
    server_t& state = server();
    auto existing = state.listeners.find(path);
    if (existing != state.listeners.end()) {
        // Replacing our own entry: new connections get the new object.
        existing->second->service = service;
        return NO_ERROR;
    }
    sockaddr_un address;
    if (!fill_address(path, &address)) return BAD_VALUE;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    // As the service manager replaces a registration, this name takes the socket over;
    // a process that still serves it keeps running unreachable, so say so.
    if (someone_serves(address)) {
        LOG_WARN("%s was served by another process; this one replaces it there", path.c_str());
    }
    // A socket left by a dead process, or one that this name replaces.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        LOG_ERROR("cannot remove the old socket %s: %s", path.c_str(), strerror(errno));
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, SOMAXCONN) != 0) {
        const int err = errno;
        LOG_ERROR("cannot publish %s: %s", path.c_str(), strerror(err));
        close(fd);
        return -err;
    }
    auto* listener = new listener_t(fd, path, service);
    const int set = epoll_fd_locked();
    if (!arm(set, listener, true /*first_time*/)) {
        const int err = set < 0 ? EMFILE : errno;
        LOG_ERROR("cannot serve %s: %s", path.c_str(), strerror(err));
        unlink(path.c_str());
        delete listener;
        close(fd);
        return -err;
    }
    state.listeners[path] = listener;
    return NO_ERROR;
}

sp<IBinder> local_service(const std::string& path) {
    std::lock_guard<std::mutex> guard(server_lock());
    auto found = server().listeners.find(path);
    return found != server().listeners.end() ? found->second->service : nullptr;
}

void serve_forever() {
    const int set = epoll_fd();
    std::vector<uint8_t> buffer(kMaxRecordBytes + 1);
    for (;;) {
        epoll_event event;
        const int ready = epoll_wait(set, &event, 1, -1);
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) {
                // Only a broken epoll set gets here; wait instead of spinning on it.
                LOG_ERROR("epoll_wait failed: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        auto* item = static_cast<watched_t*>(event.data.ptr);
        item->take_over();
        item->on_ready(buffer);
    }
}

}  // namespace binder_transport
}  // namespace android
