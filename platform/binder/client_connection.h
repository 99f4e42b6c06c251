// The client end of one connection to a serving process: one exchange at a time
// on its socket, and the releases of the proxies that it handed out.
#pragma once

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

}  // namespace binder_transport
}  // namespace android
