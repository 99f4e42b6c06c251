// What the serving side's epoll set holds: a listening socket or one client's
// connection. Each is armed one-shot, so exactly one pool thread handles it at a
// time; the handler re-arms it (watch_again) or frees it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <vector>

namespace android {
namespace binder_transport {

class watched_t {
public:
    explicit watched_t(int fd) : mFd(fd) {}
    virtual ~watched_t() = default;
    watched_t(const watched_t&) = delete;
    watched_t& operator=(const watched_t&) = delete;

    int fd() const { return mFd; }
    // Runs on the pool thread that the event woke, with that thread's receive buffer.
    // After it returns another thread may own the item, or it may be freed.
    virtual void on_ready(std::vector<uint8_t>& buffer) = 0;

    // Counts the hand-overs through epoll. A one-shot re-arm passes the item to
    // whichever pool thread wakes next; this release/acquire pair states that
    // hand-over in the memory model, where epoll itself is invisible to the
    // thread sanitizer.
    void hand_over() { mTurns.fetch_add(1, std::memory_order_release); }
    void take_over() { mTurns.load(std::memory_order_acquire); }

protected:
    const int mFd;

private:
    std::atomic<uint32_t> mTurns{0};
};

}  // namespace binder_transport
}  // namespace android
