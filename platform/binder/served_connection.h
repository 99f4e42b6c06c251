// One client's connection as the serving side holds it: its socket and the table
// of objects that it was handed, by handle. Handle 0 is the published service.
#pragma once

#include <sys/types.h>

#include <binder/IBinder.h>

#include <map>

#include "watched.h"
#include "wire_record.h"

namespace android {
namespace binder_transport {

class served_connection_t : public watched_t {
public:
    // Takes `fd`, counted already by admit_connection.
    served_connection_t(int fd, pid_t peer_pid, const sp<IBinder>& root);
    // Closes the socket and drops the handles, the last references of released
    // heaps among them.
    ~served_connection_t() override;

    // Serves a few records, then re-arms, or closes and frees the connection.
    void on_ready(std::vector<uint8_t>& buffer) override;

private:
    struct handle_t {
        sp<IBinder> object;
        size_t refs;
    };
    // Serves one request; false when the connection must close.
    bool serve_request(record_t& record);
    // Gives up `count` references to `handle`; the handle goes with its last one.
    void serve_release(uint32_t handle, uint32_t count);
    // The handle under which `object` travels on this connection, one reference more.
    bool handle_for(const sp<IBinder>& object, uint32_t* handle);
    void drop();

    const pid_t mPeerPid;
    std::map<uint32_t, handle_t> mHandles;
    uint32_t mNextHandle = 1;
};

}  // namespace binder_transport
}  // namespace android
