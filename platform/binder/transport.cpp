// Unix-socket transport of the binder stand-in: the runtime directory, the record
// format, the client connection and the serving side with its thread pool.
#include "transport.h"

#include <android/log.h>
#include <binder/Binder.h>
#include <binder/BpBinder.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utils/String8.h>

#include <cstring>
#include <map>
#include <utility>

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
constexpr size_t kMaxNameChars = 127;
// Beyond these, new connections and new handles are refused, so that one
// client cannot exhaust the serving process's descriptors or memory.
constexpr size_t kMaxConnections = 512;
constexpr size_t kMaxHandlesPerConnection = 4096;

#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

std::string runtime_dir() {
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/binder";
    return "/tmp/binder-" + std::to_string(geteuid());
}

// The directory holds every service socket of this user: it must be a real
// directory of this user's alone, or another user could plant or reach sockets.
bool private_dir_ready(const std::string& dir, bool create) {
    if (create && mkdir(dir.c_str(), 0700) == 0) chmod(dir.c_str(), 0700);
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

bool fill_address(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

void close_all(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

bool send_record(int fd, const wire_header& header, const uint8_t* data,
                 const std::vector<uint32_t>& handles, const std::vector<int>& fds, int flags) {
    iovec parts[3] = {
        {const_cast<wire_header*>(&header), sizeof header},
        {const_cast<uint8_t*>(data), header.data_size},
        {const_cast<uint32_t*>(handles.data()), handles.size() * sizeof(uint32_t)},
    };
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 3;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    if (!fds.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t sent;
    do {
        sent = sendmsg(fd, &message, flags | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof header + header.data_size + parts[2].iov_len);
}

}  // namespace

received decode_record(const uint8_t* bytes, size_t length, int msg_flags, record_t* record,
                       const char** why) {
    auto refuse = [&](const char* reason) {
        close_all(record->fds);
        record->fds.clear();
        *why = reason;
        return received::malformed;
    };
    if (msg_flags & MSG_CTRUNC) return refuse("too many file descriptors");
    if (msg_flags & MSG_TRUNC) return refuse("record too large");
    if (length < sizeof(wire_header)) return refuse("record shorter than its header");
    wire_header& header = record->header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.magic != kWireMagic) return refuse("bad magic");
    if (header.data_size > kMaxDataBytes || header.object_count > kMaxObjects ||
        header.fd_count > kMaxFds) {
        return refuse("size fields over the limits");
    }
    if (header.data_size % 4 != 0) return refuse("data not padded to 4 bytes");
    if (length != sizeof header + header.data_size + header.object_count * sizeof(uint32_t)) {
        return refuse("length does not match the header");
    }
    if (record->fds.size() != header.fd_count) return refuse("descriptor count does not match");
    record->data = bytes + sizeof header;
    record->handles.resize(header.object_count);
    if (header.object_count > 0) {
        std::memcpy(record->handles.data(), record->data + header.data_size,
                    header.object_count * sizeof(uint32_t));
    }
    return received::record;
}

namespace {

// Reads one record into `buffer` (kMaxRecordBytes + 1 long, so that an oversized
// record shows as truncated). A malformed record's descriptors are closed.
received receive_record(int fd, std::vector<uint8_t>& buffer, int flags, record_t* record,
                        const char** why) {
    iovec part = {buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? received::would_block : received::failed;

    record->fds.clear();
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&message); cmsg != nullptr; cmsg = CMSG_NXTHDR(&message, cmsg)) {
        if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            const size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received_fd;
                std::memcpy(&received_fd, CMSG_DATA(cmsg) + i * sizeof(int), sizeof(int));
                record->fds.push_back(received_fd);
            }
        }
    }
    if (got == 0) {
        // A zero-length record and the end of the stream read the same; only the
        // latter carries no descriptors, and both end the conversation.
        close_all(record->fds);
        record->fds.clear();
        return received::end;
    }
    return decode_record(buffer.data(), static_cast<size_t>(got), message.msg_flags, record, why);
}

// Whether `data` fits a record; descriptors must be open to be sent.
bool within_limits(const Parcel& data) {
    return data.dataSize() <= kMaxDataBytes && data.dataSize() % 4 == 0 &&
           data.ipcObjects().size() <= kMaxObjects && data.ipcFds().size() <= kMaxFds;
}

std::vector<int> fds_of(const Parcel& data) {
    std::vector<int> fds;
    for (const Parcel::fd_entry& entry : data.ipcFds()) fds.push_back(entry.fd);
    return fds;
}

}  // namespace

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

// ---- client side ----

std::shared_ptr<connection> connection::open(const std::string& path) {
    sockaddr_un address;
    if (!fill_address(path, &address)) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    int result;
    do {
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return nullptr;
    }
    return std::shared_ptr<connection>(new connection(fd));
}

connection::connection(int fd) : mFd(fd), mReceive(kMaxRecordBytes + 1) {}

connection::~connection() { close(mFd); }

status_t connection::fail(status_t err) {
    mDead.store(true);
    shutdown(mFd, SHUT_RDWR);
    return err;
}

status_t connection::transact(const std::shared_ptr<connection>& self, uint32_t handle, uint32_t code,
                              const Parcel& data, Parcel* reply, uint32_t flags) {
    if (!within_limits(data)) return FAILED_TRANSACTION;
    std::vector<uint32_t> handles;
    for (const sp<IBinder>& object : data.ipcObjects()) {
        BpBinder* proxy = object != nullptr ? object->remoteBinder() : nullptr;
        if (proxy != nullptr && proxy->link().get() == this) {
            handles.push_back(proxy->handle());
        } else if (object == nullptr) {
            handles.push_back(kNullHandle);
        } else {
            // Objects of this process would need calls back into it, which the
            // host transport does not carry.
            LOG_ERROR("a local or foreign binder object cannot be sent to another process");
            return FAILED_TRANSACTION;
        }
    }

    record_t record;
    std::vector<uint8_t> reply_data;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mDead.load()) return DEAD_OBJECT;
        wire_header header{kWireMagic, kRequest, handle, code, flags, 0,
                           static_cast<uint32_t>(data.dataSize()), static_cast<uint32_t>(handles.size()),
                           static_cast<uint32_t>(data.ipcFds().size())};
        if (!send_record(mFd, header, data.data(), handles, fds_of(data), 0)) return fail(DEAD_OBJECT);
        if (flags & IBinder::FLAG_ONEWAY) return NO_ERROR;

        pollfd waiting = {mFd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&waiting, 1, mReplyTimeoutMs.load());
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) return fail(TIMED_OUT);
        if (ready < 0) return fail(DEAD_OBJECT);

        const char* why = "";
        const received got = receive_record(mFd, mReceive, 0, &record, &why);
        if (got != received::record) {
            if (got == received::malformed) LOG_ERROR("malformed reply: %s", why);
            return fail(DEAD_OBJECT);
        }
        if (record.header.kind != kReply) {
            close_all(record.fds);
            LOG_ERROR("malformed reply: not a reply record");
            return fail(DEAD_OBJECT);
        }
        reply_data.assign(record.data, record.data + record.header.data_size);
    }
    // Outside the lock: proxies that the old reply contents or these objects drop
    // send their releases on this same connection.
    std::vector<sp<IBinder>> objects;
    for (uint32_t object_handle : record.handles) {
        if (object_handle == kNullHandle) {
            objects.push_back(nullptr);
        } else {
            objects.push_back(new BpBinder(self, object_handle));
        }
    }
    Parcel discarded;
    Parcel* target = reply != nullptr ? reply : &discarded;
    target->ipcSetData(reply_data.data(), reply_data.size(), std::move(objects), record.fds);
    return record.header.status;
}

void connection::release(uint32_t handle) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mDead.load()) return;
    const wire_header header{kWireMagic, kRelease, handle, 0, 0, 0, 0, 0, 0};
    if (!send_record(mFd, header, nullptr, {}, {}, MSG_DONTWAIT)) fail(DEAD_OBJECT);
}

// ---- serving side ----

namespace {

// What an epoll event points at: a listening socket or one client's connection.
// Each is armed one-shot, so exactly one pool thread handles it at a time.
struct watched_t {
    bool listener = false;
    int fd = -1;
    std::string path;        // listener: its socket path
    sp<IBinder> service;     // listener: what it publishes, under server_lock
    struct handle_t {
        sp<IBinder> object;
        size_t refs;
    };
    std::map<uint32_t, handle_t> handles;  // connection: its object table
    uint32_t next_handle = 1;
    pid_t peer_pid = 0;
    // Counts the hand-overs through epoll. A one-shot re-arm passes the item to
    // whichever pool thread wakes next; this release/acquire pair states that
    // hand-over in the memory model, where epoll itself is invisible to the
    // thread sanitizer.
    std::atomic<uint32_t> turns{0};
};

std::mutex& server_lock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

// Guarded by server_lock(). Never freed: the pool threads run until exit.
struct server_t {
    int epoll_fd = -1;
    std::map<std::string, watched_t*> listeners;
    size_t connections = 0;
};

server_t& server() {
    static server_t* const state = new server_t;
    return *state;
}

int epoll_fd_locked() {
    server_t& state = server();
    if (state.epoll_fd < 0) state.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    return state.epoll_fd;
}

// After this call another thread may own (and free) the item.
void rearm(watched_t* item) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = item;
    int epoll_fd;
    {
        std::lock_guard<std::mutex> guard(server_lock());
        epoll_fd = epoll_fd_locked();
    }
    const int fd = item->fd;
    item->turns.fetch_add(1, std::memory_order_release);
    epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event);
}

void drop_connection(watched_t* conn) {
    int epoll_fd;
    {
        std::lock_guard<std::mutex> guard(server_lock());
        epoll_fd = epoll_fd_locked();
        --server().connections;
    }
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, conn->fd, nullptr);
    close(conn->fd);
    delete conn;  // drops its handles, the last references of released heaps among them
}

void accept_clients(watched_t* listener) {
    for (;;) {
        const int fd = accept4(listener->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN: all accepted
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            (peer.uid != geteuid() && peer.uid != 0)) {
            LOG_ERROR("refused a client of uid %d (pid %d) on %s", static_cast<int>(peer.uid),
                      static_cast<int>(peer.pid), listener->path.c_str());
            close(fd);
            continue;
        }
        auto* conn = new watched_t;
        conn->fd = fd;
        conn->peer_pid = peer.pid;
        int epoll_fd;
        {
            std::lock_guard<std::mutex> guard(server_lock());
            if (server().connections >= kMaxConnections) {
                LOG_ERROR("refused a client: %zu connections already open", kMaxConnections);
                close(fd);
                delete conn;
                continue;
            }
            ++server().connections;
            conn->handles[kRootHandle] = {listener->service, 1};
            epoll_fd = epoll_fd_locked();
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.ptr = conn;
        conn->turns.fetch_add(1, std::memory_order_release);
        epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event);
    }
}

// The handle under which `object` travels on this connection, one reference more.
bool handle_for(watched_t* conn, const sp<IBinder>& object, uint32_t* handle) {
    if (object == nullptr) {
        *handle = kNullHandle;
        return true;
    }
    if (object->localBinder() == nullptr) return false;
    for (auto& [number, entry] : conn->handles) {
        if (entry.object == object) {
            ++entry.refs;
            *handle = number;
            return true;
        }
    }
    if (conn->handles.size() >= kMaxHandlesPerConnection) return false;
    while (conn->next_handle == kNullHandle || conn->handles.count(conn->next_handle) != 0) {
        ++conn->next_handle;
    }
    *handle = conn->next_handle++;
    conn->handles[*handle] = {object, 1};
    return true;
}

// Serves one request; false when the connection must close.
bool serve_request(watched_t* conn, record_t& record) {
    const wire_header& header = record.header;
    std::vector<sp<IBinder>> objects;
    for (uint32_t handle : record.handles) {
        auto found = conn->handles.find(handle);
        objects.push_back(found != conn->handles.end() ? found->second.object : nullptr);
    }
    Parcel data;
    data.ipcSetData(record.data, header.data_size, std::move(objects), record.fds);
    record.fds.clear();  // the parcel owns them now

    Parcel reply;
    status_t status = BAD_VALUE;  // no such object on this connection
    auto target = conn->handles.find(header.handle);
    if (target != conn->handles.end() && target->second.object != nullptr) {
        const sp<IBinder> object = target->second.object;
        status = object->transact(header.code, data, &reply, header.flags);
    }
    if (header.flags & IBinder::FLAG_ONEWAY) return true;

    std::vector<uint32_t> handles;
    bool fits = status >= 0 && within_limits(reply);
    for (size_t i = 0; fits && i < reply.ipcObjects().size(); ++i) {
        uint32_t handle;
        fits = handle_for(conn, reply.ipcObjects()[i], &handle);
        if (fits) handles.push_back(handle);
    }
    if (status >= 0 && !fits) {
        LOG_ERROR("a reply does not fit the transport; sent as FAILED_TRANSACTION");
        status = FAILED_TRANSACTION;
    }
    wire_header out{kWireMagic, kReply, header.handle, header.code, 0, status, 0, 0, 0};
    std::vector<int> fds;
    if (status >= 0) {
        out.data_size = static_cast<uint32_t>(reply.dataSize());
        out.object_count = static_cast<uint32_t>(handles.size());
        out.fd_count = static_cast<uint32_t>(reply.ipcFds().size());
        fds = fds_of(reply);
    } else {
        handles.clear();  // the references taken above travel nowhere
    }
    // Never wait on a client: one that does not read its replies is dropped.
    if (!send_record(conn->fd, out, reply.data(), handles, fds, MSG_DONTWAIT)) {
        if (errno == EAGAIN) LOG_ERROR("dropped pid %d: it does not read its replies", conn->peer_pid);
        return false;
    }
    return true;
}

void serve_release(watched_t* conn, uint32_t handle) {
    auto found = conn->handles.find(handle);
    if (found == conn->handles.end() || handle == kRootHandle) return;
    if (--found->second.refs == 0) conn->handles.erase(found);
}

// Serves what one client has sent; re-arms it or closes it.
void serve_connection(watched_t* conn, std::vector<uint8_t>& buffer) {
    // A few records per turn, so that a busy client does not starve the others.
    for (int turn = 0; turn < 8; ++turn) {
        record_t record;
        const char* why = "";
        const received got = receive_record(conn->fd, buffer, MSG_DONTWAIT, &record, &why);
        if (got == received::would_block) break;
        if (got == received::malformed) {
            LOG_ERROR("refused a malformed transaction from pid %d: %s", conn->peer_pid, why);
            return drop_connection(conn);
        }
        if (got != received::record) return drop_connection(conn);
        bool keep = true;
        switch (record.header.kind) {
        case kRequest:
            keep = serve_request(conn, record);
            break;
        case kRelease:
            close_all(record.fds);
            serve_release(conn, record.header.handle);
            break;
        default:
            close_all(record.fds);
            LOG_ERROR("refused a malformed transaction from pid %d: unknown record kind", conn->peer_pid);
            keep = false;
        }
        if (!keep) return drop_connection(conn);
    }
    rearm(conn);
}

}  // namespace

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
    // A socket left by a dead process, or one that this name replaces.
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, SOMAXCONN) != 0) {
        const int err = errno;
        LOG_ERROR("cannot publish %s: %s", path.c_str(), strerror(err));
        close(fd);
        return -err;
    }
    auto* listener = new watched_t;
    listener->listener = true;
    listener->fd = fd;
    listener->path = path;
    listener->service = service;
    state.listeners[path] = listener;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = listener;
    listener->turns.fetch_add(1, std::memory_order_release);
    epoll_ctl(epoll_fd_locked(), EPOLL_CTL_ADD, fd, &event);
    return NO_ERROR;
}

sp<IBinder> local_service(const std::string& path) {
    std::lock_guard<std::mutex> guard(server_lock());
    auto found = server().listeners.find(path);
    return found != server().listeners.end() ? found->second->service : nullptr;
}

void serve_forever() {
    int epoll_fd;
    {
        std::lock_guard<std::mutex> guard(server_lock());
        epoll_fd = epoll_fd_locked();
    }
    std::vector<uint8_t> buffer(kMaxRecordBytes + 1);
    for (;;) {
        epoll_event event;
        const int ready = epoll_wait(epoll_fd, &event, 1, -1);
        if (ready <= 0) continue;
        auto* item = static_cast<watched_t*>(event.data.ptr);
        item->turns.load(std::memory_order_acquire);
        if (item->listener) {
            accept_clients(item);
            rearm(item);
        } else {
            serve_connection(item, buffer);
        }
    }
}

}  // namespace binder_transport
}  // namespace android
