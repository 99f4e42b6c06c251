// The client side of a connection: connecting, one exchange at a time, releases.
#include "client_connection.h"

#include <android/log.h>
#include <binder/BpBinder.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime_dir.h"
#include "wire_record.h"

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

}  // namespace

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

}  // namespace binder_transport
}  // namespace android
