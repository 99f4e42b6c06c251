// The host binder from the outside: parcels in this process, and the test service
// IX served by binder_peer in another process, reached through the platform API and
// through raw SEQPACKET records that replay, cut and spoil what a real client sends.
#include <gtest/gtest.h>

#include <binder/IMemory.h>
#include <binder/IServiceManager.h>
#include <binder/MemoryHeapBase.h>
#include <binder/Parcel.h>
#include <binder/ProcessState.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>

#include "binder_x.h"
#include "harness.h"

using namespace android;
using namespace harness;

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr size_t parcel_limit = 131072;

String16 s16(const std::string& s) { return String16(s.c_str()); }

sp<IBinder> lookup_binder(const std::string& name) {
    return defaultServiceManager()->getService(s16(name));
}

sp<IX> lookup(const std::string& name) { return interface_cast<IX>(lookup_binder(name)); }

int count_open_fds() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n - 1;  // the iterator's own
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Lines of /proc/self/maps for a mapping that starts at `base`.
int mappings_at(const void* base) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", static_cast<unsigned long>(uintptr_t(base)));
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);) n += line.rfind(prefix, 0) == 0;
    return n;
}

// A runtime directory of the test's own (mode 0700), in XDG_RUNTIME_DIR for this
// process and for the peers it starts. Short, so that socket paths stay short.
class runtime_dir {
public:
    runtime_dir() {
        char pattern[] = "/tmp/bt-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        chmod(path_.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~runtime_dir() {
        unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string binder_dir() const { return path_ + "/binder"; }
    std::string socket(const std::string& name) const { return binder_dir() + "/" + name; }
    std::vector<std::string> env() const { return {"XDG_RUNTIME_DIR=" + path_}; }

private:
    std::string path_;
};

class binder_service : public ::testing::Test {
protected:
    // Starts a peer serving IX as `name` and waits until it answers.
    sp<IX> start(const std::string& name) {
        peers_.push_back(std::make_unique<child_process>(BINDER_PEER_PATH, std::vector<std::string>{name},
                                                         dir_.env()));
        sp<IX> x;
        wait_until([&] { return (x = lookup(name)) != nullptr; }, 5s);
        EXPECT_NE(x, nullptr) << "peer " << name << " did not answer: " << peers_.back()->err();
        return x;
    }
    child_process& peer(size_t i) { return *peers_.at(i); }

    runtime_dir dir_;

private:
    std::vector<std::unique_ptr<child_process>> peers_;
};

// ---- raw records -------------------------------------------------------------

int raw_connect(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_record(int sock, const bytes& data, const std::vector<int>& fds = {}, int flags = 0) {
    iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    if (!fds.empty()) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    return sendmsg(sock, &msg, MSG_NOSIGNAL | flags) == ssize_t(data.size());
}

// One record and its descriptors; false at the end of the connection.
bool receive_record(int sock, bytes& data, std::vector<int>& fds) {
    data.resize(2 * parcel_limit);
    iovec iov{data.data(), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 64)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n <= 0) return false;
    data.resize(size_t(n));
    fds.clear();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const int* p = reinterpret_cast<const int*>(CMSG_DATA(c));
        fds.insert(fds.end(), p, p + count);
    }
    return true;
}

bool readable_within(int sock, int ms) {
    pollfd p{sock, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Whether the server ends the connection within `ms` without answering.
bool closed_without_reply(int sock, int ms = 2000) {
    if (!readable_within(sock, ms)) return false;
    char b[64];
    const ssize_t n = recv(sock, b, sizeof b, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Passes one client connection through to `target`, keeping a copy of every
// request and reply, so that tests can replay what a real client sends.
class recording_relay {
public:
    recording_relay(const std::string& at, const std::string& target) : target_(target) {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, at.c_str(), sizeof addr.sun_path - 1);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener_, 4) != 0) {
            throw std::runtime_error("relay cannot listen at " + at);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~recording_relay() { stop(); }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }
    size_t request_count() const { return request_count_.load(); }
    // Read these after stop().
    std::vector<bytes> requests, replies;

private:
    void run() {
        if (!wait_readable(listener_)) return;
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = raw_connect(target_);
        bytes data;
        std::vector<int> fds;
        while (client >= 0 && server >= 0 && !stopping_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!p[i].revents) continue;
                const int from = i == 0 ? client : server, to = i == 0 ? server : client;
                if (!receive_record(from, data, fds)) {
                    stopping_ = true;
                    break;
                }
                (i == 0 ? requests : replies).push_back(data);
                if (i == 0) ++request_count_;
                send_record(to, data, fds);
                for (int fd : fds) close(fd);
            }
        }
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
    bool wait_readable(int fd) {
        while (!stopping_) {
            if (readable_within(fd, 50)) return true;
        }
        return false;
    }

    std::string target_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> request_count_{0};
};

// What a real client sent to reach service `name` (setup) and then to make the
// calls of `calls` (requests), with the replies to each.
struct captured_call {
    std::vector<bytes> setup, setup_replies;
    std::vector<bytes> requests, replies;
};

captured_call capture(const runtime_dir& dir, const std::string& name,
                      const std::function<void(const sp<IX>&)>& calls) {
    captured_call c;
    recording_relay relay(dir.socket("relay"), dir.socket(name));
    size_t before = 0;
    {
        sp<IX> x = lookup("relay");
        EXPECT_NE(x, nullptr) << "no service through the relay";
        if (!x) return c;
        before = relay.request_count();
        calls(x);
    }
    relay.stop();
    unlink(dir.socket("relay").c_str());
    EXPECT_GT(relay.requests.size(), before);
    EXPECT_GT(relay.replies.size(), before);
    if (relay.requests.size() <= before || relay.replies.size() <= before) return c;
    c.setup.assign(relay.requests.begin(), relay.requests.begin() + long(before));
    c.setup_replies.assign(relay.replies.begin(), relay.replies.begin() + long(before));
    c.requests.assign(relay.requests.begin() + long(before), relay.requests.end());
    c.replies.assign(relay.replies.begin() + long(before), relay.replies.end());
    return c;
}

// The records of add(20, 22): requests[0] and replies[0].
captured_call capture_add(const runtime_dir& dir, const std::string& name) {
    return capture(dir, name, [](const sp<IX>& x) {
        int32_t sum = 0;
        EXPECT_EQ(x->add(20, 22, &sum), NO_ERROR);
        EXPECT_EQ(sum, 42);
    });
}

// A raw connection that has sent the setup records and read their replies.
int open_session(const runtime_dir& dir, const std::string& name, const captured_call& c) {
    const int sock = raw_connect(dir.socket(name));
    bytes reply;
    std::vector<int> fds;
    for (const bytes& record : c.setup) {
        if (sock < 0 || !send_record(sock, record) || !readable_within(sock, 2000) ||
            !receive_record(sock, reply, fds)) {
            if (sock >= 0) close(sock);
            return -1;
        }
        for (int fd : fds) close(fd);
    }
    return sock;
}

std::vector<int> null_fds(size_t n) {
    std::vector<int> fds;
    for (size_t i = 0; i < n; ++i) fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return fds;
}

void close_all(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

// ---- Parcel ------------------------------------------------------------------

TEST(binder_parcel, interface_token_is_checked_against_the_object) {
    Parcel p;
    p.writeInterfaceToken(IX::descriptor);
    p.setDataPosition(0);
    sp<BnX> local = new BnX();
    EXPECT_TRUE(p.checkInterface(local.get()));
    p.setDataPosition(0);
    sp<IBinder> plain = new BBinder();  // no descriptor of its own
    EXPECT_FALSE(p.checkInterface(plain.get()));
    p.setDataPosition(0);
    EXPECT_FALSE(p.checkInterface(nullptr));
}

TEST(binder_parcel, wrong_tags_and_bad_indices_read_as_null_or_bad_type) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    sp<IBinder> a = new BBinder(), b = new BBinder();

    Parcel one_fd, two_fds, one_binder, two_binders;
    one_fd.writeFileDescriptor(fd);
    two_fds.writeFileDescriptor(fd);
    two_fds.writeFileDescriptor(fd);
    one_binder.writeStrongBinder(a);
    two_binders.writeStrongBinder(a);
    two_binders.writeStrongBinder(b);
    ASSERT_EQ(two_fds.dataSize(), 2 * one_fd.dataSize());
    ASSERT_EQ(two_binders.dataSize(), 2 * one_binder.dataSize());

    // The wrong kind of item, and plain numbers.
    one_fd.setDataPosition(0);
    EXPECT_EQ(one_fd.readStrongBinder(), nullptr);
    one_binder.setDataPosition(0);
    EXPECT_EQ(one_binder.readFileDescriptor(), BAD_TYPE);
    Parcel numbers;
    for (int i = 0; i < 8; ++i) numbers.writeInt32(i);
    numbers.setDataPosition(0);
    EXPECT_EQ(numbers.readStrongBinder(), nullptr);
    numbers.setDataPosition(0);
    EXPECT_EQ(numbers.readFileDescriptor(), BAD_TYPE);

    // The bytes of an item whose index has no entry: the second of two, after one.
    auto forge = [](const Parcel& first, const Parcel& both) {
        auto p = std::make_unique<Parcel>();
        if (first.ipcFds().size()) p->writeFileDescriptor(first.ipcFds()[0].fd);
        if (first.ipcObjects().size()) p->writeStrongBinder(first.ipcObjects()[0]);
        const size_t half = both.dataSize() / 2;
        for (size_t at = half; at < both.dataSize(); at += 4) {
            int32_t word;
            std::memcpy(&word, both.data() + at, 4);
            p->writeInt32(word);
        }
        p->setDataPosition(0);
        return p;
    };
    auto fds = forge(one_fd, two_fds);
    EXPECT_GE(fds->readFileDescriptor(), 0);
    EXPECT_EQ(fds->readFileDescriptor(), BAD_TYPE);
    auto binders = forge(one_binder, two_binders);
    EXPECT_EQ(binders->readStrongBinder(), a);
    EXPECT_EQ(binders->readStrongBinder(), nullptr);

    // A copy of a whole item into a parcel without side tables.
    Parcel bare;
    for (size_t at = 0; at < one_fd.dataSize(); at += 4) {
        int32_t word;
        std::memcpy(&word, one_fd.data() + at, 4);
        bare.writeInt32(word);
    }
    bare.setDataPosition(0);
    EXPECT_EQ(bare.readFileDescriptor(), BAD_TYPE);
    close(fd);
}

TEST(binder_parcel, memory_heap_rounds_to_pages_and_unmaps) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void* base;
    {
        sp<MemoryHeapBase> heap = new MemoryHeapBase(page + 1);
        EXPECT_EQ(heap->getSize(), 2 * page);
        EXPECT_GE(heap->getHeapID(), 0);
        base = heap->getBase();
        ASSERT_NE(base, MAP_FAILED);
        static_cast<char*>(base)[2 * page - 1] = 1;
        EXPECT_EQ(mappings_at(base), 1);
    }
    EXPECT_EQ(mappings_at(base), 0);
    sp<MemoryHeapBase> none = new MemoryHeapBase(0);
    EXPECT_EQ(none->getHeapID(), -1);
    EXPECT_EQ(none->getBase(), MAP_FAILED);
    EXPECT_EQ(none->getSize(), 0u);
}

// ---- Interfaces ----------------------------------------------------------------

TEST_F(binder_service, local_object_is_its_own_interface) {
    sp<BnX> local = new BnX();
    sp<IBinder> binder = local;
    sp<IX> x = interface_cast<IX>(binder);
    EXPECT_EQ(x.get(), static_cast<IX*>(local.get()));
    EXPECT_EQ(x->asBinder(), binder);
    EXPECT_EQ(interface_cast<IX>(nullptr), nullptr);
    Parcel data, reply;
    data.writeInterfaceToken(IX::descriptor);
    data.writeInt32(2);
    data.writeInt32(40);
    EXPECT_EQ(binder->transact(IX::ADD, data, &reply), NO_ERROR);
    EXPECT_EQ(reply.readInt32(), 42) << "the reply is rewound for reading";
    EXPECT_EQ(binder->pingBinder(), NO_ERROR);

    // Published in this same process, it comes back as itself.
    ASSERT_EQ(defaultServiceManager()->addService(s16("self"), binder), NO_ERROR);
    EXPECT_EQ(lookup_binder("self"), binder);
}

TEST_F(binder_service, remote_object_gets_a_proxy_that_calls_it) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    EXPECT_EQ(binder->localBinder(), nullptr);
    EXPECT_NE(binder->remoteBinder(), nullptr);
    EXPECT_EQ(binder->queryLocalInterface(IX::descriptor), nullptr);
    EXPECT_NE(dynamic_cast<BpX*>(x.get()), nullptr);
    EXPECT_EQ(binder->getInterfaceDescriptor(), IX::descriptor);
    EXPECT_EQ(binder->pingBinder(), NO_ERROR);
    EXPECT_TRUE(binder->isBinderAlive());
    int32_t sum = 0, pid = 0;
    EXPECT_EQ(x->add(-7, 49, &sum), NO_ERROR);
    EXPECT_EQ(sum, 42);
    EXPECT_EQ(x->pid(&pid), NO_ERROR);
    EXPECT_EQ(pid, peer(0).pid());
}

TEST_F(binder_service, refusals_and_errors_come_back_as_the_result) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    {
        Parcel data, reply;
        data.writeInterfaceToken(s16("jack.test.IY"));
        data.writeInt32(1);
        data.writeInt32(2);
        EXPECT_EQ(binder->transact(IX::ADD, data, &reply), PERMISSION_DENIED);
        EXPECT_EQ(reply.dataSize(), 0u);
    }
    {
        Parcel data, reply;
        data.writeInt32(1);
        EXPECT_EQ(binder->transact(IX::ADD, data, &reply), PERMISSION_DENIED) << "no token at all";
    }
    for (const status_t error : {status_t(BAD_VALUE), status_t(NAME_NOT_FOUND), status_t(INVALID_OPERATION),
                                 status_t(-1234), status_t(DEAD_OBJECT), status_t(FAILED_TRANSACTION),
                                 status_t(UNKNOWN_ERROR)}) {
        Parcel data, reply;
        data.writeInterfaceToken(IX::descriptor);
        data.writeInt32(error);
        EXPECT_EQ(binder->transact(IX::FAIL_WITH, data, &reply), error);
        EXPECT_EQ(reply.dataSize(), 0u) << error;
    }
    for (const uint32_t code : {uint32_t(IX::GET_PID + 100), uint32_t(IBinder::LAST_CALL_TRANSACTION)}) {
        Parcel data, reply;
        data.writeInterfaceToken(IX::descriptor);
        EXPECT_EQ(binder->transact(code, data, &reply), UNKNOWN_TRANSACTION) << code;
    }
    // None of these is a failed exchange: the proxy still works.
    int32_t sum = 0;
    EXPECT_EQ(x->add(1, 2, &sum), NO_ERROR);
    EXPECT_EQ(sum, 3);
    EXPECT_TRUE(binder->isBinderAlive());
}

TEST_F(binder_service, one_way_calls_arrive_without_waiting) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(x->note(), NO_ERROR);
    int32_t count = 0;
    EXPECT_TRUE(wait_until([&] { return x->notes(&count) == NO_ERROR && count == 50; }, 5s)) << count;

    // A one-way call to a handler that waits two seconds returns at once.
    sp<IBinder> binder = x->asBinder();
    Parcel data, reply, pipe_reply;
    data.writeInterfaceToken(IX::descriptor);
    ASSERT_EQ(binder->transact(IX::OPEN_PIPE, data, &pipe_reply), NO_ERROR);
    const auto t0 = clock_type::now();
    EXPECT_EQ(binder->transact(IX::PIPE_READ, data, &reply, IBinder::FLAG_ONEWAY), NO_ERROR);
    EXPECT_LT(clock_type::now() - t0, 1s);
    EXPECT_EQ(reply.dataSize(), 0u);
}

// ---- Across processes ------------------------------------------------------------

TEST_F(binder_service, descriptor_in_a_reply_is_the_same_open_file) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    auto call = [&](uint32_t code, Parcel& reply) {
        Parcel data;
        data.writeInterfaceToken(IX::descriptor);
        return binder->transact(code, data, &reply);
    };
    auto pipe_read = [&] {
        Parcel reply;
        const char* got = call(IX::PIPE_READ, reply) == NO_ERROR ? reply.readCString() : nullptr;
        return std::string(got ? got : "<nothing>");
    };
    auto pipe_at_eof = [&] {
        Parcel reply;
        return call(IX::PIPE_AT_EOF, reply) == NO_ERROR && reply.readInt32() == 1;
    };

    auto reply = std::make_unique<Parcel>();
    ASSERT_EQ(call(IX::OPEN_PIPE, *reply), NO_ERROR);
    const int fd = reply->readFileDescriptor();
    ASSERT_GE(fd, 0);
    const int64_t inode = reply->readInt64();
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(int64_t(st.st_ino), inode);
    ASSERT_EQ(write(fd, "hello", 5), 5);
    EXPECT_EQ(pipe_read(), "hello");

    const int kept = dup(fd);
    reply.reset();
    EXPECT_FALSE(fd_open(fd)) << "the reply still holds its descriptor";
    EXPECT_FALSE(pipe_at_eof()) << "a copy is still open here";
    ASSERT_EQ(write(kept, "again", 5), 5);
    EXPECT_EQ(pipe_read(), "again");
    close(kept);
    EXPECT_TRUE(pipe_at_eof()) << "the write end outlived every copy";

    // And the other way: a descriptor in a request reaches the same file.
    const std::string path = test_dir() + "/sent";
    const int file = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    Parcel data, stat_reply;
    data.writeInterfaceToken(IX::descriptor);
    data.writeFileDescriptor(file);
    ASSERT_EQ(binder->transact(IX::STAT_FD, data, &stat_reply), NO_ERROR);
    ASSERT_EQ(fstat(file, &st), 0);
    EXPECT_EQ(stat_reply.readInt64(), int64_t(st.st_dev));
    EXPECT_EQ(stat_reply.readInt64(), int64_t(st.st_ino));
    EXPECT_TRUE(fd_open(file));
    close(file);
}

TEST_F(binder_service, served_heap_is_shared_mapped_once_and_unmapped_with_its_last_proxy) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IMemoryHeap> heap = x->heap();
    ASSERT_NE(heap, nullptr);
    EXPECT_NE(heap->asBinder()->remoteBinder(), nullptr);
    void* base = heap->getBase();
    ASSERT_NE(base, MAP_FAILED);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(heap->getSize(), (3 * 4096 + page - 1) / page * page);
    EXPECT_GE(heap->getHeapID(), 0);
    EXPECT_EQ(heap->getFlags(), 0u);
    EXPECT_EQ(heap->getOffset(), 0u);

    int32_t* words = static_cast<int32_t*>(base);
    __atomic_store_n(&words[25], 0x1234567, __ATOMIC_SEQ_CST);
    int32_t value = 0;
    EXPECT_EQ(x->heapRead(100, &value), NO_ERROR);
    EXPECT_EQ(value, 0x1234567);
    EXPECT_EQ(x->heapWrite(200, 77), NO_ERROR);
    EXPECT_EQ(__atomic_load_n(&words[50], __ATOMIC_SEQ_CST), 77);

    sp<IMemoryHeap> again = x->heap();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->getBase(), base);
    EXPECT_EQ(mappings_at(base), 1);
    heap.clear();
    EXPECT_EQ(mappings_at(base), 1) << "unmapped while a proxy remains";
    EXPECT_EQ(__atomic_load_n(&words[50], __ATOMIC_SEQ_CST), 77);
    again.clear();
    EXPECT_EQ(mappings_at(base), 0) << "still mapped after the last proxy";
}

TEST_F(binder_service, heap_reached_by_two_lookups_is_mapped_once) {
    sp<IX> first = start("x");
    ASSERT_NE(first, nullptr);
    sp<IX> second = lookup("x");
    ASSERT_NE(second, nullptr);
    sp<IMemoryHeap> a = first->heap(), b = second->heap();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(a->getBase(), MAP_FAILED);
    EXPECT_EQ(b->getBase(), a->getBase());
    EXPECT_EQ(mappings_at(a->getBase()), 1);
}

// ---- Death -------------------------------------------------------------------

TEST_F(binder_service, dead_server_gives_dead_object_and_a_new_one_takes_over) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IMemoryHeap> heap = x->heap();
    ASSERT_NE(heap, nullptr);
    ASSERT_NE(heap->getBase(), MAP_FAILED);
    ASSERT_EQ(x->heapWrite(8, 4242), NO_ERROR);

    peer(0).signal(SIGKILL);
    ASSERT_TRUE(peer(0).wait(5s));
    int32_t sum = 0;
    EXPECT_EQ(x->add(1, 2, &sum), DEAD_OBJECT);
    EXPECT_EQ(x->add(1, 2, &sum), DEAD_OBJECT);
    EXPECT_EQ(x->asBinder()->pingBinder(), DEAD_OBJECT);
    EXPECT_FALSE(x->asBinder()->isBinderAlive());
    EXPECT_EQ(static_cast<int32_t*>(heap->getBase())[2], 4242) << "the mapping outlives the server";

    const auto t0 = clock_type::now();
    EXPECT_EQ(lookup_binder("x"), nullptr);
    EXPECT_LT(clock_type::now() - t0, 250ms);

    sp<IX> successor = start("x");
    ASSERT_NE(successor, nullptr);
    int32_t pid = 0;
    EXPECT_EQ(successor->pid(&pid), NO_ERROR);
    EXPECT_EQ(pid, peer(1).pid());
    EXPECT_EQ(x->add(1, 2, &sum), DEAD_OBJECT) << "a dead proxy stays dead";
}

TEST_F(binder_service, heap_not_yet_mapped_when_its_server_dies_reads_as_failure) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IMemoryHeap> heap = x->heap();
    ASSERT_NE(heap, nullptr);
    peer(0).signal(SIGKILL);
    ASSERT_TRUE(peer(0).wait(5s));
    EXPECT_EQ(heap->getBase(), MAP_FAILED);
    EXPECT_EQ(heap->getSize(), 0u);
    EXPECT_EQ(heap->getHeapID(), -1);
    EXPECT_EQ(heap->getBase(), MAP_FAILED) << "the second try";
}

TEST_F(binder_service, server_dying_during_a_call_ends_it_with_dead_object) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    Parcel data, pipe_reply;
    data.writeInterfaceToken(IX::descriptor);
    ASSERT_EQ(binder->transact(IX::OPEN_PIPE, data, &pipe_reply), NO_ERROR);
    // The handler waits two seconds for data that never comes.
    auto pending = std::async(std::launch::async, [&] {
        Parcel reply;
        return binder->transact(IX::PIPE_READ, data, &reply);
    });
    std::this_thread::sleep_for(300ms);
    peer(0).signal(SIGKILL);
    ASSERT_EQ(pending.wait_for(1500ms), std::future_status::ready);
    EXPECT_EQ(pending.get(), DEAD_OBJECT);
}

TEST_F(binder_service, newer_server_replaces_a_published_name) {
    ASSERT_NE(start("x"), nullptr);
    ASSERT_NE(start("x"), nullptr);
    int32_t pid = 0;
    sp<IX> x;
    EXPECT_TRUE(wait_until([&] { return (x = lookup("x")) && x->pid(&pid) == NO_ERROR && pid == peer(1).pid(); }, 2s))
        << pid;
}

// ---- Hostile input -------------------------------------------------------------

TEST_F(binder_service, replayed_records_get_the_same_answer) {
    ASSERT_NE(start("x"), nullptr);
    const captured_call c = capture_add(dir_, "x");
    ASSERT_FALSE(c.requests.empty());
    const int sock = open_session(dir_, "x", c);
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(send_record(sock, c.requests[0]));
    ASSERT_TRUE(readable_within(sock, 2000));
    bytes reply;
    std::vector<int> fds;
    ASSERT_TRUE(receive_record(sock, reply, fds));
    EXPECT_EQ(reply, c.replies[0]);
    close(sock);
}

// Little-endian 32-bit words as bytes.
bytes words(std::initializer_list<uint32_t> values) {
    bytes out;
    for (uint32_t v : values) {
        for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(v >> shift));
    }
    return out;
}

// The records hold no field of the word size: a 32-bit and a 64-bit process put
// exactly these bytes on the wire for add(20, 22) and its answer.
TEST_F(binder_service, a_call_and_its_answer_are_the_same_bytes_on_every_word_size) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    const captured_call c = capture_add(dir_, "x");
    ASSERT_EQ(c.requests.size(), 1u);
    ASSERT_EQ(c.replies.size(), 1u);
    const uint32_t magic = 0x424e4452, request = 1, reply = 2;
    const uint32_t handle = 0;  // the service's own object on its connection
    // Header: magic, kind, handle, code, flags, status, data size, objects, descriptors.
    bytes want = words({magic, request, handle, IBinder::FIRST_CALL_TRANSACTION, 0, 0, 44, 0, 0});
    // Data: strict-mode policy, "jack.test.IX" as 12 UTF-16 units and a NUL padded to
    // 28 bytes, then the two numbers.
    const bytes token = words({0x100, 12});
    want.insert(want.end(), token.begin(), token.end());
    for (char ch : std::string("jack.test.IX")) want.insert(want.end(), {uint8_t(ch), 0});
    want.insert(want.end(), {0, 0, 0, 0});
    const bytes numbers = words({20, 22});
    want.insert(want.end(), numbers.begin(), numbers.end());
    EXPECT_EQ(c.requests[0], want);
    // The answer names the call's code and carries the sum.
    EXPECT_EQ(c.replies[0],
              words({magic, reply, 0, IBinder::FIRST_CALL_TRANSACTION, 0, 0, 4, 0, 0, 42}));
}

TEST_F(binder_service, malformed_records_are_refused_and_the_server_serves_on) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    int32_t fds_before = 0;
    ASSERT_EQ(x->fdCount(&fds_before), NO_ERROR);
    const captured_call c = capture_add(dir_, "x");
    ASSERT_FALSE(c.requests.empty());
    const bytes& add = c.requests[0];
    int sent = 0;

    // Must end the connection: cut, empty, oversized, too many descriptors.
    auto refused = [&](const bytes& record, const std::vector<int>& fds, bool after_setup, const std::string& what) {
        const int sock = after_setup ? open_session(dir_, "x", c) : raw_connect(dir_.socket("x"));
        ASSERT_GE(sock, 0) << what;
        EXPECT_TRUE(send_record(sock, record, fds)) << what;
        ++sent;
        EXPECT_TRUE(closed_without_reply(sock)) << what;
        close(sock);
    };
    for (size_t n = 0; n < add.size(); ++n) {
        refused(bytes(add.begin(), add.begin() + long(n)), {}, true, "call cut to " + std::to_string(n));
    }
    for (size_t i = 0; i < c.setup.size(); ++i) {
        for (size_t n = 0; n < c.setup[i].size(); ++n) {
            // Cut where the first setup record goes, on a fresh connection.
            if (i > 0) break;
            refused(bytes(c.setup[i].begin(), c.setup[i].begin() + long(n)), {}, false,
                    "setup cut to " + std::to_string(n));
        }
    }
    // (A SEQPACKET record must fit the sender's buffer, about 200 KiB by default.)
    for (const size_t extra : {size_t(4), size_t(4096), size_t(60000)}) {
        bytes big = add;
        big.resize(std::max(big.size(), parcel_limit) + extra, 0x5a);
        refused(big, {}, true, "oversized by " + std::to_string(extra));
    }
    for (const size_t n : {size_t(17), size_t(64), size_t(200)}) {
        const std::vector<int> many = null_fds(n);
        refused(add, many, true, std::to_string(n) + " descriptors");
        close_all(many);
    }

    // Need not end it, but must not hurt the server: spoilt bytes and noise.
    std::mt19937 random(12345);
    auto survive = [&](const bytes& record, bool after_setup) {
        const int sock = after_setup ? open_session(dir_, "x", c) : raw_connect(dir_.socket("x"));
        ASSERT_GE(sock, 0);
        send_record(sock, record);
        ++sent;
        readable_within(sock, 200);
        close(sock);
    };
    for (size_t i = 0; i < add.size(); ++i) {
        bytes spoilt = add;
        spoilt[i] ^= 0xff;
        survive(spoilt, true);
    }
    for (int i = 0; i < 30; ++i) {
        bytes noise(1 + random() % 600);
        for (auto& byte : noise) byte = uint8_t(random());
        survive(noise, i % 2 == 0);
    }
    EXPECT_GE(sent, 100);

    EXPECT_TRUE(peer(0).running());
    sp<IX> fresh = lookup("x");
    ASSERT_NE(fresh, nullptr);
    int32_t sum = 0;
    EXPECT_EQ(fresh->add(40, 2, &sum), NO_ERROR);
    EXPECT_EQ(sum, 42);
    fresh.clear();
    int32_t fds_after = 0;
    EXPECT_TRUE(wait_until([&] { return x->fdCount(&fds_after) == NO_ERROR && fds_after == fds_before; }, 3s))
        << "descriptors open in the server: " << fds_before << " before, " << fds_after << " after";
}

TEST_F(binder_service, clients_that_leave_before_their_answer_do_not_hurt_the_server) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    // OPEN_PIPE, then PIPE_READ, which waits two seconds for data that never comes.
    const captured_call c = capture(dir_, "x", [](const sp<IX>& through) {
        sp<IBinder> binder = through->asBinder();
        Parcel data, opened, read;
        data.writeInterfaceToken(IX::descriptor);
        EXPECT_EQ(binder->transact(IX::OPEN_PIPE, data, &opened), NO_ERROR);
        EXPECT_EQ(binder->transact(IX::PIPE_READ, data, &read), TIMED_OUT);
    });
    ASSERT_EQ(c.requests.size(), 2u);
    const captured_call add = capture_add(dir_, "x");
    ASSERT_FALSE(add.requests.empty());

    for (int i = 0; i < 50; ++i) {
        const int sock = open_session(dir_, "x", add);
        ASSERT_GE(sock, 0);
        send_record(sock, add.requests[0]);
        close(sock);  // before the answer
    }
    const int slow = open_session(dir_, "x", c);
    ASSERT_GE(slow, 0);
    bytes reply;
    std::vector<int> fds;
    ASSERT_TRUE(send_record(slow, c.requests[0]) && readable_within(slow, 2000) && receive_record(slow, reply, fds));
    close_all(fds);
    ASSERT_TRUE(send_record(slow, c.requests[1]));
    close(slow);  // the answer comes two seconds later, to nobody
    std::this_thread::sleep_for(2500ms);

    EXPECT_TRUE(peer(0).running()) << peer(0).err();
    int32_t sum = 0;
    EXPECT_EQ(x->add(1, 2, &sum), NO_ERROR);
    EXPECT_EQ(sum, 3);
}

// ---- Limits ----------------------------------------------------------------------

TEST_F(binder_service, parcel_size_and_descriptor_limits) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    Parcel data;
    data.writeInterfaceToken(IX::descriptor);
    int64_t sum = 0;
    for (int32_t i = 1; data.dataSize() < parcel_limit; ++i) {
        data.writeInt32(i * 7919);
        sum += i * 7919;
    }
    ASSERT_EQ(data.dataSize(), parcel_limit);
    {
        Parcel reply;
        ASSERT_EQ(binder->transact(IX::DATA_SIZE, data, &reply), NO_ERROR);
        EXPECT_EQ(reply.readInt32(), int32_t(parcel_limit));
        EXPECT_EQ(reply.readInt64(), sum) << "the data did not arrive intact";
    }
    data.writeInt32(1);
    {
        Parcel reply;
        EXPECT_EQ(binder->transact(IX::DATA_SIZE, data, &reply), FAILED_TRANSACTION);
    }

    const std::vector<int> fds = null_fds(17);
    for (const size_t n : {size_t(16), size_t(17)}) {
        Parcel request, reply;
        request.writeInterfaceToken(IX::descriptor);
        for (size_t i = 0; i < n; ++i) request.writeFileDescriptor(fds[i]);
        EXPECT_EQ(binder->transact(IX::STAT_FD, request, &reply), n == 16 ? NO_ERROR : FAILED_TRANSACTION) << n;
    }
    close_all(fds);
    // A descriptor closed after it was written: the socket refuses that record alone.
    const int gone = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Parcel closed_fd, closed_fd_reply;
    closed_fd.writeInterfaceToken(IX::descriptor);
    ASSERT_EQ(closed_fd.writeFileDescriptor(gone), NO_ERROR);
    close(gone);
    EXPECT_EQ(binder->transact(IX::STAT_FD, closed_fd, &closed_fd_reply), FAILED_TRANSACTION);
    int32_t total = 0;
    EXPECT_EQ(x->add(1, 1, &total), NO_ERROR) << "a refused request must not kill the proxy";
    EXPECT_TRUE(binder->isBinderAlive());
}

TEST_F(binder_service, reply_size_limit) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    auto big_reply = [&](int32_t words, Parcel& reply) {
        Parcel data;
        data.writeInterfaceToken(IX::descriptor);
        data.writeInt32(words);
        return binder->transact(IX::BIG_REPLY, data, &reply);
    };
    Parcel fits;
    ASSERT_EQ(big_reply(int32_t(parcel_limit / 4), fits), NO_ERROR);
    EXPECT_EQ(fits.dataSize(), parcel_limit);
    fits.setDataPosition(parcel_limit - 4);
    EXPECT_EQ(fits.readInt32(), int32_t(parcel_limit / 4 - 1));

    Parcel too_big;
    EXPECT_NE(big_reply(int32_t(parcel_limit / 4 + 1), too_big), NO_ERROR);
    EXPECT_EQ(too_big.dataSize(), 0u);
    EXPECT_TRUE(peer(0).running());
    sp<IX> fresh = lookup("x");
    ASSERT_NE(fresh, nullptr);
    int32_t sum = 0;
    EXPECT_EQ(fresh->add(1, 2, &sum), NO_ERROR);
}

// ---- Concurrency -------------------------------------------------------------------

TEST_F(binder_service, sixteen_clients_at_once_all_answered) {
    ASSERT_NE(start("x"), nullptr);
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::future<void>> clients;
    for (int t = 0; t < 16; ++t) {
        clients.push_back(std::async(std::launch::async, [&, t] {
            sp<IX> x = lookup("x");
            if (!x) {
                failed += 500;
                return;
            }
            for (int i = 0; i < 500; ++i) {
                int32_t sum = 0;
                if (x->add(t * 100000, i, &sum) != NO_ERROR) ++failed;
                else if (sum != t * 100000 + i) ++wrong;
            }
        }));
    }
    const auto deadline = clock_type::now() + 40s;
    int unfinished = 0;
    for (auto& c : clients) unfinished += c.wait_until(deadline) != std::future_status::ready;
    if (unfinished) peer(0).signal(SIGKILL);  // frees the stuck calls with DEAD_OBJECT
    EXPECT_EQ(unfinished, 0) << "clients stuck";
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(binder_service, threads_sharing_one_proxy_get_their_own_answers) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 8; ++t) {
        threads.push_back(std::async(std::launch::async, [&, t] {
            for (int i = 0; i < 300; ++i) {
                int32_t sum = 0;
                if (x->add(t * 100000, i, &sum) != NO_ERROR) ++failed;
                else if (sum != t * 100000 + i) ++wrong;
            }
        }));
    }
    const auto deadline = clock_type::now() + 30s;
    int unfinished = 0;
    for (auto& f : threads) unfinished += f.wait_until(deadline) != std::future_status::ready;
    if (unfinished) peer(0).signal(SIGKILL);
    EXPECT_EQ(unfinished, 0) << "threads stuck";
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "answers crossed between threads";
}

// Proxies dropped on four threads while the others call: no reference is released
// twice, so a proxy kept unmapped from the start still reaches its heap.
TEST_F(binder_service, proxies_dropped_on_many_threads_during_calls) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    const sp<IMemoryHeap> kept = x->heap();
    ASSERT_NE(kept, nullptr);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) failed += x->heap() == nullptr;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_NE(kept->getBase(), MAP_FAILED) << "the kept proxy's handle was released";
}

TEST_F(binder_service, silent_and_unreading_clients_hold_up_nobody) {
    ASSERT_NE(start("x"), nullptr);
    const captured_call c = capture_add(dir_, "x");
    ASSERT_FALSE(c.requests.empty());
    std::vector<int> hostile;
    hostile.push_back(raw_connect(dir_.socket("x")));  // connected, never says anything
    hostile.push_back(open_session(dir_, "x", c));     // set up, then silent
    int flooded = 0;
    for (int i = 0; i < 3; ++i) {
        // Asks and asks and never reads an answer.
        const int sock = open_session(dir_, "x", c);
        ASSERT_GE(sock, 0);
        hostile.push_back(sock);
        for (int k = 0; k < 20000 && send_record(sock, c.requests[0], {}, MSG_DONTWAIT); ++k) ++flooded;
    }
    EXPECT_GT(flooded, 100);
    std::this_thread::sleep_for(200ms);  // lets the server fill the unread sockets

    auto polite = std::async(std::launch::async, [] {
        sp<IX> x = lookup("x");
        if (!x) return -1;
        int good = 0;
        for (int i = 0; i < 200; ++i) {
            int32_t sum = 0;
            good += x->add(i, i, &sum) == NO_ERROR && sum == 2 * i;
        }
        return good;
    });
    const bool in_time = polite.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(in_time) << "a polite client waited behind the others";
    close_all(hostile);
    EXPECT_EQ(polite.get(), 200);
}

// ---- Service manager ---------------------------------------------------------

TEST_F(binder_service, service_names_of_one_to_127_characters) {
    sp<IBinder> local = new BnX();
    auto sm = defaultServiceManager();
    EXPECT_NE(sm->addService(s16(""), local), NO_ERROR);
    EXPECT_NE(sm->addService(s16(std::string(128, 'n')), local), NO_ERROR);
    EXPECT_NE(sm->addService(s16("nothing"), nullptr), NO_ERROR);
    EXPECT_EQ(lookup_binder(""), nullptr);
    EXPECT_EQ(lookup_binder(std::string(128, 'n')), nullptr);

    // The longest name whose socket path fits sockaddr_un, across processes.
    const size_t room = sizeof(sockaddr_un::sun_path) - 1 - (dir_.binder_dir().size() + 1);
    ASSERT_GT(room, 16u);
    const std::string fits(room, 'f');
    sp<IX> x = start(fits);
    ASSERT_NE(x, nullptr);
    int32_t sum = 0;
    EXPECT_EQ(x->add(2, 3, &sum), NO_ERROR);
    EXPECT_EQ(sum, 5);

    // 127 characters is a valid name; here its path cannot fit, so the peer must
    // say so and stop, not crash, and a lookup finds nothing at once.
    const std::string longest(127, 'l');
    const status_t added = sm->addService(s16(longest), local);
    child_process peer_127(BINDER_PEER_PATH, {longest}, dir_.env());
    const auto status = peer_127.wait(3s);
    if (added == NO_ERROR) {
        EXPECT_EQ(lookup_binder(longest), local);
        EXPECT_FALSE(status) << "the peer could not publish: " << peer_127.err();
    } else {
        ASSERT_TRUE(status) << "a peer whose name cannot be published keeps running";
        EXPECT_EQ(status->code, 1) << status->describe();
        EXPECT_NE(peer_127.err(), "");
        const auto t0 = clock_type::now();
        EXPECT_EQ(lookup_binder(longest), nullptr);
        EXPECT_LT(clock_type::now() - t0, 250ms);
    }
}

TEST_F(binder_service, names_that_are_not_one_file_name_are_refused) {
    ASSERT_NE(start("x"), nullptr);
    sp<IBinder> local = new BnX();
    for (const char* name : {"a/b", "/x", ".", ".."}) {
        EXPECT_NE(defaultServiceManager()->addService(s16(name), local), NO_ERROR) << name;
    }
    EXPECT_EQ(lookup_binder("../binder/x"), nullptr);
    EXPECT_EQ(lookup_binder("./x"), nullptr);
}

TEST_F(binder_service, listener_that_never_answers_reads_as_no_service) {
    ASSERT_NE(start("x"), nullptr);
    // Listens, never accepts and never answers.
    const int mute = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, dir_.socket("mute").c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(mute, 4), 0);
    auto found = std::async(std::launch::async, [] { return lookup_binder("mute") != nullptr; });
    const bool ended = found.wait_for(5s) == std::future_status::ready;
    close(mute);  // frees a lookup that still waits
    EXPECT_TRUE(ended) << "the lookup waits for an answer that never comes";
    EXPECT_FALSE(found.get());
    EXPECT_NE(lookup_binder("x"), nullptr);
}

TEST_F(binder_service, runtime_dir_with_wrong_mode_owner_or_a_symlink_is_refused) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    const std::string bdir = dir_.binder_dir();
    auto refused = [&](const std::string& what) {
        EXPECT_EQ(lookup_binder("x"), nullptr) << what;
        child_process other(BINDER_PEER_PATH, {"y"}, dir_.env());
        const auto status = other.wait(3s);
        EXPECT_TRUE(status && status->code == 1) << what << ": a peer published in it";
        EXPECT_NE(other.err(), "") << what;
    };

    ASSERT_EQ(chmod(bdir.c_str(), 0755), 0);
    refused("mode 0755");
    ASSERT_EQ(chmod(bdir.c_str(), 0700), 0);
    EXPECT_NE(lookup_binder("x"), nullptr) << "mode restored";

    ASSERT_EQ(chown(bdir.c_str(), 65534, 65534), 0);
    refused("owned by nobody");
    ASSERT_EQ(chown(bdir.c_str(), geteuid(), getegid()), 0);
    EXPECT_NE(lookup_binder("x"), nullptr) << "owner restored";

    const std::string real = dir_.path() + "/real";
    ASSERT_EQ(rename(bdir.c_str(), real.c_str()), 0);
    ASSERT_EQ(symlink(real.c_str(), bdir.c_str()), 0);
    refused("a symlink");
    ASSERT_EQ(unlink(bdir.c_str()), 0);
    ASSERT_EQ(rename(real.c_str(), bdir.c_str()), 0);
    EXPECT_NE(lookup_binder("x"), nullptr) << "directory restored";
}

// ---- Leaks -----------------------------------------------------------------------

TEST_F(binder_service, ten_thousand_transactions_leak_no_descriptor) {
    sp<IX> x = start("x");
    ASSERT_NE(x, nullptr);
    sp<IBinder> binder = x->asBinder();
    auto call = [&](uint32_t code, int fd = -1) {
        Parcel data, reply;
        data.writeInterfaceToken(IX::descriptor);
        if (fd >= 0) data.writeFileDescriptor(fd);
        return binder->transact(code, data, &reply);
    };
    ASSERT_EQ(call(IX::OPEN_PIPE), NO_ERROR);  // the server keeps one read end from now on
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int32_t server_before = 0;
    ASSERT_EQ(x->fdCount(&server_before), NO_ERROR);
    const int client_before = count_open_fds();

    int failures = 0;
    for (int i = 0; i < 10000; ++i) {
        status_t status = NO_ERROR;
        int32_t sum = 0;
        switch (i % 10) {
        case 0: status = call(IX::STAT_FD, file); break;
        case 1: status = call(IX::OPEN_PIPE); break;
        case 2:
            if (i % 100 == 2) {
                sp<IMemoryHeap> heap = x->heap();
                status = heap != nullptr && heap->getBase() != MAP_FAILED ? NO_ERROR : UNKNOWN_ERROR;
            } else if (i % 500 == 12) {
                sp<IX> other = lookup("x");  // a connection of its own, dropped again
                status = other != nullptr && other->add(1, 1, &sum) == NO_ERROR ? NO_ERROR : UNKNOWN_ERROR;
            }
            break;
        default: status = x->add(i, 1, &sum); break;
        }
        failures += status != NO_ERROR;
    }
    EXPECT_EQ(failures, 0);
    close(file);
    int32_t server_after = 0;
    EXPECT_TRUE(wait_until([&] { return x->fdCount(&server_after) == NO_ERROR && server_after == server_before; }, 3s))
        << "server descriptors: " << server_before << " before, " << server_after << " after";
    EXPECT_TRUE(wait_until([&] { return count_open_fds() == client_before - 1; }, 1s))
        << "client descriptors: " << client_before - 1 << " expected, " << count_open_fds() << " now";
}

}  // namespace
