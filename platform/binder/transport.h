// The host transport under the binder stand-in: one SOCK_SEQPACKET Unix socket per
// published service, in the user's private runtime directory. A transaction is one
// request record and one reply record:
//   wire_header, then data_size bytes of parcel data, then object_count handles
//   (uint32, kNullHandle for a null object); descriptors ride along as SCM_RIGHTS.
// Binder objects in a reply become handles in that connection's table on the
// serving side; the client's BpBinder for a handle releases it when it goes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <binder/IBinder.h>
#include <binder/Parcel.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace android {
namespace binder_transport {

// Per parcel; a parcel over these limits fails with FAILED_TRANSACTION.
constexpr size_t kMaxDataBytes = 131072;
constexpr size_t kMaxFds = 16;
constexpr size_t kMaxObjects = 64;
constexpr uint32_t kNullHandle = UINT32_MAX;
constexpr uint32_t kRootHandle = 0;

enum record_kind : uint32_t { kRequest = 1, kReply = 2, kRelease = 3 };

struct wire_header {
    uint32_t magic;
    uint32_t kind;
    uint32_t handle;  // the target of a request or release
    uint32_t code;
    uint32_t flags;
    int32_t status;  // of a reply
    uint32_t data_size;
    uint32_t object_count;
    uint32_t fd_count;
};
constexpr uint32_t kWireMagic = 0x424e4452;  // "BNDR"
constexpr size_t kMaxRecordBytes = sizeof(wire_header) + kMaxDataBytes + kMaxObjects * sizeof(uint32_t);

// One received record. `data` points into the bytes it was decoded from.
struct record_t {
    wire_header header{};
    const uint8_t* data = nullptr;
    std::vector<uint32_t> handles;
    std::vector<int> fds;  // owned by the receiver
};

enum class received { record, end, would_block, failed, malformed };

// Checks the `length` bytes of one received record (`msg_flags` as recvmsg left
// them) against the header and the limits, with record->fds holding the
// descriptors that came with it. Gives received::record with the header, data and
// handles filled in, or received::malformed with the reason in *why and the
// descriptors closed. Touches no socket, so that it can be tried on any bytes.
received decode_record(const uint8_t* bytes, size_t length, int msg_flags, record_t* record,
                       const char** why);

// The socket path of a service name, under the private runtime directory (created
// with `create`). False, with a logged reason, when the name is not 1 to 127
// characters of a file name, the directory is not this user's alone, or the path
// does not fit a socket address.
bool service_path(const String16& name, bool create, std::string* path);

// The client end of one connection to a serving process.
class connection {
public:
    // Connects to the socket at `path`; null when nobody listens there.
    static std::shared_ptr<connection> open(const std::string& path);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // One exchange with object `handle`; `self` is this connection, for the proxies
    // that the reply's objects become. A failed exchange kills the connection.
    status_t transact(const std::shared_ptr<connection>& self, uint32_t handle, uint32_t code,
                      const Parcel& data, Parcel* reply, uint32_t flags);
    // Tells the serving side that one reference to `handle` is gone.
    void release(uint32_t handle);
    bool alive() const { return !mDead.load(); }
    // How long an exchange waits for its reply before it gives the server up
    // (TIMED_OUT, and the connection is dead); -1, the default, waits as long as
    // the serving process lives, as binder calls do on the device.
    void set_reply_timeout(int milliseconds) { mReplyTimeoutMs.store(milliseconds); }

private:
    explicit connection(int fd);
    status_t fail(status_t err);

    const int mFd;
    std::mutex mLock;  // one exchange at a time on the socket
    std::atomic<bool> mDead{false};
    std::atomic<int> mReplyTimeoutMs{-1};
    std::vector<uint8_t> mReceive;
};

// Publishes `service` at `path`, replacing whatever was there. Calls are served by
// the pool threads (serve_forever).
status_t publish(const std::string& path, const sp<IBinder>& service);
// The object published under `path` by this process, or null.
sp<IBinder> local_service(const std::string& path);
// Serves incoming calls on the calling thread; never returns.
[[noreturn]] void serve_forever();

}  // namespace binder_transport
}  // namespace android
