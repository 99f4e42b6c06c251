// A published service's listening socket on the serving side: it accepts clients
// of this user (or root) and hands each a served connection whose handle 0 is the
// service.
#pragma once

#include <binder/IBinder.h>

#include <string>

#include "watched.h"

namespace android {
namespace binder_transport {

class listener_t : public watched_t {
public:
    // Takes `fd`, a bound, listening, non-blocking socket at `path`.
    listener_t(int fd, std::string path, const sp<IBinder>& service);

    const std::string& path() const { return mPath; }
    // What new connections get as handle 0. Under the server lock.
    sp<IBinder> service;

    // Accepts every pending client, then re-arms.
    void on_ready(std::vector<uint8_t>& buffer) override;

private:
    void accept_one(int fd, pid_t* peer_pid);
    // At the descriptor limit: accepts the next pending client on the spare
    // descriptor and closes it at once, so that it neither waits nor spins the pool.
    bool refuse_one_at_limit(int err);

    const std::string mPath;
    bool mAtLimit = false;  // logged once per stretch at the limit
};

}  // namespace binder_transport
}  // namespace android
