// The client side of a connection: connecting, one exchange at a time, and the
// queue of releases that goes out ahead of the requests.
#include "client_connection.h"

#include <android/log.h>
#include <binder/BpBinder.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "runtime_dir.h"
#include "wire_record.h"

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

// Errors of sendmsg that refuse one record and leave the connection as it was: a
// SEQPACKET record goes whole or not at all.
bool refused_record(int error) {
    return error == EBADF || error == EMSGSIZE || error == ETOOMANYREFS || error == ENOBUFS ||
           error == ENOMEM;
}

void close_logged(int fd) {
    if (close(fd) != 0) LOG_ERROR("closing a connection's socket: %s", std::strerror(errno));
}

// The handle each object of `data` travels as; false, logged, when one belongs to
// this process or to another connection.
bool handles_of(const connection* link, const Parcel& data, std::vector<uint32_t>* handles) {
    for (const sp<IBinder>& object : data.ipcObjects()) {
        BpBinder* proxy = object != nullptr ? object->remoteBinder() : nullptr;
        if (proxy != nullptr && proxy->link().get() == link) {
            handles->push_back(proxy->handle());
        } else if (object == nullptr) {
            handles->push_back(kNullHandle);
        } else {
            // Objects of this process would need calls back into it, which the
            // host transport does not carry.
            LOG_ERROR("a local or foreign binder object cannot be sent to another process");
            return false;
        }
    }
    return true;
}

// Fills `reply` (if any) with the reply's data, descriptors and objects, each handle
// a proxy on `link`.
void fill_reply(const std::shared_ptr<connection>& link, const record_t& record,
                const std::vector<uint8_t>& reply_data, Parcel* reply) {
    std::vector<sp<IBinder>> objects;
    for (uint32_t object_handle : record.handles) {
        if (object_handle == kNullHandle) {
            objects.push_back(nullptr);
        } else {
            objects.push_back(new BpBinder(link, object_handle));
        }
    }
    Parcel discarded;
    Parcel* target = reply != nullptr ? reply : &discarded;
    target->ipcSetData(reply_data.data(), reply_data.size(), std::move(objects), record.fds);
}

}  // namespace

std::shared_ptr<connection> connection::open(const std::string& path) {
    sockaddr_un address;
    if (!fill_address(path, &address)) return nullptr;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LOG_ERROR("cannot create a socket: %s", std::strerror(errno));
        return nullptr;
    }
    int result;
    do {
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        // Nobody listening there is the usual "no service", not worth a line.
        close_logged(fd);
        return nullptr;
    }
    return std::shared_ptr<connection>(new connection(fd));
}

connection::connection(int fd) : mFd(fd), mReceive(kMaxRecordBytes + 1) {}

// Releases still queued need not go: the serving side drops this connection's
// whole handle table when the socket closes.
connection::~connection() { close_logged(mFd); }

status_t connection::fail(status_t err, const char* why, int cause) {
    if (mDead.exchange(true)) return err;
    if (cause != 0) {
        LOG_ERROR("connection lost: %s: %s", why, std::strerror(cause));
    } else {
        LOG_ERROR("connection lost: %s", why);
    }
    // Wakes nobody and frees nothing if the peer already went.
    if (shutdown(mFd, SHUT_RDWR) != 0 && errno != ENOTCONN) {
        LOG_ERROR("shutting a lost connection down: %s", std::strerror(errno));
    }
    std::lock_guard<std::mutex> guard(mReleaseLock);
    mPendingReleases.clear();
    return err;
}

bool connection::send_releases(int flags) {
    for (;;) {
        wire_header header{kWireMagic, kRelease, 0, 0, 0, 0, 0, 0, 0};
        {
            std::lock_guard<std::mutex> guard(mReleaseLock);
            if (mPendingReleases.empty()) return true;
            header.handle = mPendingReleases.begin()->first;
            header.code = mPendingReleases.begin()->second;  // references given up at once
        }
        errno = 0;
        if (!send_record(mFd, header, nullptr, {}, {}, flags)) {
            const int cause = errno;
            // A full socket, or memory short for a moment: the rest waits its turn.
            if (cause == EAGAIN || cause == EWOULDBLOCK || refused_record(cause)) return true;
            fail(DEAD_OBJECT, "cannot send a release", cause);
            return false;
        }
        std::lock_guard<std::mutex> guard(mReleaseLock);
        // Other threads may have added to this handle's count meanwhile.
        auto sent = mPendingReleases.find(header.handle);
        if (sent != mPendingReleases.end() && (sent->second -= header.code) == 0) {
            mPendingReleases.erase(sent);
        }
    }
}

status_t connection::send_request(uint32_t handle, uint32_t code, const Parcel& data,
                                  const std::vector<uint32_t>& handles, uint32_t flags) {
    if (mDead.load()) return DEAD_OBJECT;
    // The serving side hears of dropped references before the next request, as
    // the device's driver carries them with the next call.
    if (!send_releases(0)) return DEAD_OBJECT;
    wire_header header{kWireMagic, kRequest, handle, code, flags, 0,
                       static_cast<uint32_t>(data.dataSize()), static_cast<uint32_t>(handles.size()),
                       static_cast<uint32_t>(data.ipcFds().size())};
    errno = 0;
    if (!send_record(mFd, header, data.data(), handles, fds_of(data), 0)) {
        const int cause = errno;
        if (refused_record(cause)) {
            LOG_ERROR("a request the socket refuses: %s", std::strerror(cause));
            return FAILED_TRANSACTION;
        }
        return fail(DEAD_OBJECT, "cannot send a request", cause);
    }
    return NO_ERROR;
}

status_t connection::await_reply() {
    pollfd waiting = {mFd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&waiting, 1, mReplyTimeoutMs.load());
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) return fail(TIMED_OUT, "no reply in time");
    if (ready < 0) return fail(DEAD_OBJECT, "cannot wait for a reply", errno);
    return NO_ERROR;
}

status_t connection::read_reply(record_t* record) {
    const char* why = "";
    errno = 0;
    const received got = receive_record(mFd, mReceive, 0, record, &why);
    if (got == received::end) return fail(DEAD_OBJECT, "the serving process closed it");
    if (got == received::malformed) {
        LOG_ERROR("malformed reply: %s", why);
        return fail(DEAD_OBJECT, "malformed reply");
    }
    if (got != received::record) return fail(DEAD_OBJECT, "cannot read a reply", errno);
    if (record->header.kind != kReply) {
        close_all(record->fds);
        return fail(DEAD_OBJECT, "malformed reply: not a reply record");
    }
    return NO_ERROR;
}

status_t connection::transact(const std::shared_ptr<connection>& self, uint32_t handle, uint32_t code,
                              const Parcel& data, Parcel* reply, uint32_t flags) {
    if (!within_limits(data)) return FAILED_TRANSACTION;
    std::vector<uint32_t> handles;
    if (!handles_of(this, data, &handles)) return FAILED_TRANSACTION;

    record_t record;
    std::vector<uint8_t> reply_data;
    {
        std::lock_guard<std::mutex> guard(mLock);
        status_t err = send_request(handle, code, data, handles, flags);
        if (err != NO_ERROR || (flags & IBinder::FLAG_ONEWAY)) return err;
        err = await_reply();
        if (err == NO_ERROR) err = read_reply(&record);
        if (err != NO_ERROR) return err;
        // Copied under the lock: record.data points into mReceive.
        reply_data.assign(record.data, record.data + record.header.data_size);
        // Releases queued by other threads during the exchange, if the socket has room.
        send_releases(MSG_DONTWAIT);
    }
    // Outside the lock: proxies that the old reply contents or these objects drop
    // send their releases on this same connection.
    fill_reply(self, record, reply_data, reply);
    return record.header.status;
}

void connection::release(uint32_t handle) {
    {
        std::lock_guard<std::mutex> guard(mReleaseLock);
        if (mDead.load()) return;
        ++mPendingReleases[handle];
    }
    // Sent now only if no exchange holds the socket; that one sends it otherwise.
    std::unique_lock<std::mutex> exchange(mLock, std::try_to_lock);
    if (exchange.owns_lock() && !mDead.load()) send_releases(MSG_DONTWAIT);
}

}  // namespace binder_transport
}  // namespace android
