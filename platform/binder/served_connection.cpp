// Serving one client's connection: its requests, releases and handle table.
#include "served_connection.h"

#include <android/log.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server.h"

namespace android {
namespace binder_transport {

namespace {

const char* const kLogTag = "binder";
#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kLogTag, __VA_ARGS__)

// Beyond this, new handles are refused, so that one client cannot exhaust the
// serving process's memory.
constexpr size_t kMaxHandlesPerConnection = 4096;

}  // namespace

served_connection_t::served_connection_t(int fd, pid_t peer_pid, const sp<IBinder>& root)
    : watched_t(fd), mPeerPid(peer_pid) {
    mHandles[kRootHandle] = {root, 1};
}

served_connection_t::~served_connection_t() {
    close(mFd);
    connection_gone(mPeerPid);
}

void served_connection_t::drop() {
    unwatch(this);
    delete this;
}

bool served_connection_t::handle_for(const sp<IBinder>& object, uint32_t* handle) {
    if (object == nullptr) {
        *handle = kNullHandle;
        return true;
    }
    if (object->localBinder() == nullptr) return false;
    for (auto& [number, entry] : mHandles) {
        if (entry.object == object) {
            ++entry.refs;
            *handle = number;
            return true;
        }
    }
    if (mHandles.size() >= kMaxHandlesPerConnection) return false;
    while (mNextHandle == kNullHandle || mHandles.count(mNextHandle) != 0) {
        ++mNextHandle;
    }
    *handle = mNextHandle++;
    mHandles[*handle] = {object, 1};
    return true;
}

bool served_connection_t::serve_request(record_t& record) {
    const wire_header& header = record.header;
    std::vector<sp<IBinder>> objects;
    for (uint32_t handle : record.handles) {
        auto found = mHandles.find(handle);
        objects.push_back(found != mHandles.end() ? found->second.object : nullptr);
    }
    Parcel data;
    data.ipcSetData(record.data, header.data_size, std::move(objects), record.fds);
    record.fds.clear();  // the parcel owns them now

    Parcel reply;
    status_t status = BAD_VALUE;  // no such object on this connection
    auto target = mHandles.find(header.handle);
    if (target != mHandles.end() && target->second.object != nullptr) {
        const sp<IBinder> object = target->second.object;
        status = object->transact(header.code, data, &reply, header.flags);
    }
    if (header.flags & IBinder::FLAG_ONEWAY) return true;

    std::vector<uint32_t> handles;
    bool fits = status >= 0 && within_limits(reply);
    for (size_t i = 0; fits && i < reply.ipcObjects().size(); ++i) {
        uint32_t handle;
        fits = handle_for(reply.ipcObjects()[i], &handle);
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
    if (!send_record(mFd, out, reply.data(), handles, fds, MSG_DONTWAIT)) {
        if (errno == EAGAIN) LOG_ERROR("dropped pid %d: it does not read its replies", mPeerPid);
        return false;
    }
    return true;
}

void served_connection_t::serve_release(uint32_t handle, uint32_t count) {
    auto found = mHandles.find(handle);
    if (found == mHandles.end() || handle == kRootHandle) return;
    // A client that gives up more than it holds loses the handle, nothing more.
    if (count >= found->second.refs) {
        mHandles.erase(found);
    } else {
        found->second.refs -= count;
    }
}

void served_connection_t::on_ready(std::vector<uint8_t>& buffer) {
    // A few records per turn, so that a busy client does not starve the others.
    for (int turn = 0; turn < 8; ++turn) {
        record_t record;
        const char* why = "";
        const received got = receive_record(mFd, buffer, MSG_DONTWAIT, &record, &why);
        if (got == received::would_block) break;
        if (got == received::malformed) {
            LOG_ERROR("refused a malformed transaction from pid %d: %s", mPeerPid, why);
            return drop();
        }
        if (got != received::record) return drop();
        bool keep = true;
        switch (record.header.kind) {
        case kRequest:
            keep = serve_request(record);
            break;
        case kRelease:
            close_all(record.fds);
            serve_release(record.header.handle, released_references(record.header));
            break;
        default:
            close_all(record.fds);
            LOG_ERROR("refused a malformed transaction from pid %d: unknown record kind", mPeerPid);
            keep = false;
        }
        if (!keep) return drop();
    }
    if (!watch(this, false /*first_time*/)) drop();
}

}  // namespace binder_transport
}  // namespace android
