// The record format of the host transport. A transaction is one request record and
// one reply record on a SOCK_SEQPACKET Unix socket:
//   wire_header, then data_size bytes of parcel data, then object_count handles
//   (uint32, kNullHandle for a null object); descriptors ride along as SCM_RIGHTS.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <binder/Parcel.h>

#include <vector>

namespace android {
namespace binder_transport {

// Per parcel; a parcel over these limits fails with FAILED_TRANSACTION.
constexpr size_t kMaxDataBytes = 131072;
constexpr size_t kMaxFds = 16;
// What Linux passes with one message at most (SCM_MAX_FD).
constexpr size_t kKernelMaxFdsPerMessage = 253;
constexpr size_t kMaxObjects = 64;
constexpr uint32_t kNullHandle = UINT32_MAX;
constexpr uint32_t kRootHandle = 0;

enum record_kind : uint32_t { kRequest = 1, kReply = 2, kRelease = 3 };

struct wire_header {
    uint32_t magic;
    uint32_t kind;
    uint32_t handle;  // the target of a request or release
    uint32_t code;    // of a request; of a release, the references it gives up (0 means 1)
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

// The references that a release record gives up: a client queues a handle's
// releases and sends them as one record; 0, as single releases were sent, is one.
inline uint32_t released_references(const wire_header& header) {
    return header.code == 0 ? 1 : header.code;
}

// Sends one record; true when all of it went, else errno tells why. `flags` are
// sendmsg's (MSG_DONTWAIT).
bool send_record(int fd, const wire_header& header, const uint8_t* data,
                 const std::vector<uint32_t>& handles, const std::vector<int>& fds, int flags);

// Reads one record into `buffer` (kMaxRecordBytes + 1 long, so that an oversized
// record shows as truncated). A malformed record's descriptors are closed.
received receive_record(int fd, std::vector<uint8_t>& buffer, int flags, record_t* record,
                        const char** why);

// Whether `data` fits a record; descriptors must be open to be sent.
bool within_limits(const Parcel& data);
// The descriptors that travel with `data`.
std::vector<int> fds_of(const Parcel& data);
void close_all(const std::vector<int>& fds);

}  // namespace binder_transport
}  // namespace android
