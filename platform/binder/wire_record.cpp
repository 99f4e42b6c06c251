// Encoding, sending, receiving and checking the transport's records.
#include "wire_record.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace android {
namespace binder_transport {

void close_all(const std::vector<int>& fds) {
    for (int fd : fds) close(fd);
}

bool send_record(int fd, const wire_header& header, const uint8_t* data,
                 const std::vector<uint32_t>& handles, const std::vector<int>& fds, int flags) {
    iovec parts[3] = {
        {const_cast<wire_header*>(&header), sizeof header},
        {const_cast<uint8_t*>(data), header.data_size},
        {const_cast<uint32_t*>(handles.data()), handles.size() * sizeof(uint32_t)},
    };
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 3;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    if (!fds.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t sent;
    do {
        sent = sendmsg(fd, &message, flags | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    const ssize_t whole = static_cast<ssize_t>(sizeof header + header.data_size + parts[2].iov_len);
    // A record goes whole or not at all; a short one would leave errno stale.
    if (sent >= 0 && sent != whole) errno = EMSGSIZE;
    return sent == whole;
}

received decode_record(const uint8_t* bytes, size_t length, int msg_flags, record_t* record,
                       const char** why) {
    auto refuse = [&](const char* reason) {
        close_all(record->fds);
        record->fds.clear();
        *why = reason;
        return received::malformed;
    };
    if (msg_flags & MSG_CTRUNC) return refuse("too many file descriptors");
    if (msg_flags & MSG_TRUNC) return refuse("record too large");
    if (length < sizeof(wire_header)) return refuse("record shorter than its header");
    wire_header& header = record->header;
    std::memcpy(&header, bytes, sizeof header);
    if (header.magic != kWireMagic) return refuse("bad magic");
    if (header.data_size > kMaxDataBytes || header.object_count > kMaxObjects ||
        header.fd_count > kMaxFds) {
        return refuse("size fields over the limits");
    }
    if (header.data_size % 4 != 0) return refuse("data not padded to 4 bytes");
    if (length != sizeof header + header.data_size + header.object_count * sizeof(uint32_t)) {
        return refuse("length does not match the header");
    }
    if (record->fds.size() != header.fd_count) return refuse("descriptor count does not match");
    record->data = bytes + sizeof header;
    record->handles.resize(header.object_count);
    if (header.object_count > 0) {
        std::memcpy(record->handles.data(), record->data + header.data_size,
                    header.object_count * sizeof(uint32_t));
    }
    return received::record;
}

received receive_record(int fd, std::vector<uint8_t>& buffer, int flags, record_t* record,
                        const char** why) {
    iovec part = {buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    // Room for every descriptor the kernel passes with one message, though a record
    // may carry only kMaxFds: what the buffer cannot hold would stay open unseen
    // wherever the kernel hands over more than the buffer was sized for (qemu-user
    // gives the kernel a buffer twice the program's), and the surplus is refused
    // and closed below.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kKernelMaxFdsPerMessage)];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? received::would_block : received::failed;

    record->fds.clear();
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&message); cmsg != nullptr; cmsg = CMSG_NXTHDR(&message, cmsg)) {
        if (cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS) {
            const size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received_fd;
                std::memcpy(&received_fd, CMSG_DATA(cmsg) + i * sizeof(int), sizeof(int));
                record->fds.push_back(received_fd);
            }
        }
    }
    if (got == 0) {
        // A zero-length record and the end of the stream read the same; only the
        // latter carries no descriptors, and both end the conversation.
        close_all(record->fds);
        record->fds.clear();
        return received::end;
    }
    return decode_record(buffer.data(), static_cast<size_t>(got), message.msg_flags, record, why);
}

bool within_limits(const Parcel& data) {
    return data.dataSize() <= kMaxDataBytes && data.dataSize() % 4 == 0 &&
           data.ipcObjects().size() <= kMaxObjects && data.ipcFds().size() <= kMaxFds;
}

std::vector<int> fds_of(const Parcel& data) {
    std::vector<int> fds;
    for (const Parcel::fd_entry& entry : data.ipcFds()) fds.push_back(entry.fd);
    return fds;
}

}  // namespace binder_transport
}  // namespace android
