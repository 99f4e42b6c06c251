// The client end of one connection to a serving process: one exchange at a time
// on its socket, and the releases of the proxies that it handed out.
#pragma once

#include <stdint.h>

#include <binder/IBinder.h>
#include <binder/Parcel.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace android {
namespace binder_transport {

struct record_t;

// The client end of one connection to a serving process. Releases never block
// and never end the connection: they wait in a queue, one entry per handle with
// its count, and go out before the next request, or at once when the socket has
// room and no exchange is under way. Only a lost peer, a broken reply or an
// unanswered call ends the connection; every later exchange then gives DEAD_OBJECT.
class connection {
public:
    // Connects to the socket at `path`; null when nobody listens there.
    static std::shared_ptr<connection> open(const std::string& path);
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // One exchange with object `handle`; `self` is this connection, for the proxies
    // that the reply's objects become. The queued releases go first. A request that
    // the socket refuses as such (a closed descriptor in it, say) gives
    // FAILED_TRANSACTION and leaves the connection as it was.
    status_t transact(const std::shared_ptr<connection>& self, uint32_t handle, uint32_t code,
                      const Parcel& data, Parcel* reply, uint32_t flags);
    // Tells the serving side that one reference to `handle` is gone. Never waits,
    // neither for the socket nor for an exchange on another thread.
    void release(uint32_t handle);
    bool alive() const { return !mDead.load(); }
    // How long an exchange waits for its reply before it gives the server up
    // (TIMED_OUT, and the connection is dead); -1, the default, waits as long as
    // the serving process lives, as binder calls do on the device.
    void set_reply_timeout(int milliseconds) { mReplyTimeoutMs.store(milliseconds); }

private:
    explicit connection(int fd);
    // Ends the connection for good and logs why (with errno `cause`, if any), once.
    status_t fail(status_t err, const char* why, int cause = 0);
    // Sends the queued releases, with `flags` for sendmsg. With MSG_DONTWAIT it
    // stops where the socket is full and leaves the rest queued. False when the
    // connection is lost. Called with mLock held.
    bool send_releases(int flags);
    // The steps of one exchange, each called with mLock held. Sends the queued
    // releases, then the request; FAILED_TRANSACTION where the socket refuses it.
    status_t send_request(uint32_t handle, uint32_t code, const Parcel& data,
                          const std::vector<uint32_t>& handles, uint32_t flags);
    // Waits for the reply to arrive, at most mReplyTimeoutMs.
    status_t await_reply();
    // Reads the reply into `record` (its data stays in mReceive) and checks that
    // it is a well-formed reply record.
    status_t read_reply(record_t* record);

    const int mFd;
    std::mutex mLock;  // one exchange at a time on the socket; held to send releases too
    std::atomic<bool> mDead{false};
    // Guards mPendingReleases only, and is never held across a send, so that
    // dropping a proxy waits for nothing. Taken after mLock where both are held.
    std::mutex mReleaseLock;
    // Handle -> references given up and not yet sent; at most one entry per handle
    // of the serving side's table.
    std::map<uint32_t, uint32_t> mPendingReleases;
    std::atomic<int> mReplyTimeoutMs{-1};
    std::vector<uint8_t> mReceive;
};

}  // namespace binder_transport
}  // namespace android
