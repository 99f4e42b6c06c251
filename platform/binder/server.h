// The serving side's pool: one epoll set that every pool thread waits on, the
// published services, and the count of open connections.
#pragma once

#include <binder/IBinder.h>

#include <sys/types.h>

#include <mutex>
#include <string>

#include "watched.h"

namespace android {
namespace binder_transport {

// Publishes `service` at `path`, replacing whatever was there. Calls are served by
// the pool threads (serve_forever).
status_t publish(const std::string& path, const sp<IBinder>& service);
// The object published under `path` by this process, or null.
sp<IBinder> local_service(const std::string& path);
// Serves incoming calls on the calling thread; never returns.
[[noreturn]] void serve_forever();

// Puts `item` into the epoll set (first time) or re-arms it, one-shot. False, with
// the reason logged, when epoll refuses; the item is then not watched. After a
// successful call another thread may own the item.
bool watch(watched_t* item, bool first_time);
// Takes `item` out of the epoll set.
void unwatch(watched_t* item);

// Counts a new connection of `peer`; false, logged, when the process already
// serves kMaxConnections, or `peer` holds its share of them.
bool admit_connection(pid_t peer);
void connection_gone(pid_t peer);

// Guards the published services and the counts.
std::mutex& server_lock();

}  // namespace binder_transport
}  // namespace android
