// Writes the seed corpora of the fuzz targets, one folder per target under the
// given directory: WAV files of several shapes, parcels and transactions as the
// shared-memory proxy writes them, transport records, and registries with text
// fields. The committed corpus/ was made with it:  fuzz_make_seeds tests/fuzz/corpus
#include <IAndroidShm.h>
#include <binder/Binder.h>
#include <binder/IMemory.h>
#include <binder/Parcel.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "transport.h"
#include "wav_file.h"

using namespace android;

namespace {

using bytes_t = std::vector<uint8_t>;

std::string out_dir;

void put(bytes_t& out, const void* value, size_t size) {
    const auto* at = static_cast<const uint8_t*>(value);
    out.insert(out.end(), at, at + size);
}
void put_u8(bytes_t& out, uint8_t value) { out.push_back(value); }
void put_u16(bytes_t& out, uint16_t value) { put(out, &value, sizeof value); }
void put_u32(bytes_t& out, uint32_t value) { put(out, &value, sizeof value); }
void put_parcel(bytes_t& out, const Parcel& parcel) { put(out, parcel.data(), parcel.dataSize()); }

bool write_seed(const std::string& target, const std::string& name, const bytes_t& content) {
    const std::string dir = out_dir + "/" + target;
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

// ---- WAV files ----

// A canonical PCM header of any channels and bits over `data` as it is.
bytes_t wav(uint16_t channels, uint16_t bits, const bytes_t& data) {
    bytes_t out = wav_header_bytes({wav_format_pcm, channels, 44100, bits}, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bytes_t ramp(size_t values) {
    std::vector<int16_t> out;
    for (size_t i = 0; i < values; ++i) out.push_back(int16_t(i * 4099 - 32768));
    return wav_pcm16_bytes(out.data(), out.size());
}

bool wav_seeds() {
    bool ok = true;
    ok &= write_seed("wav_loader", "mono16", wav(1, 16, ramp(100)));
    ok &= write_seed("wav_loader", "stereo16", wav(2, 16, ramp(64)));
    ok &= write_seed("wav_loader", "three_channels16", wav(3, 16, ramp(30)));
    ok &= write_seed("wav_loader", "stereo16_odd_data", wav(2, 16, {1, 2, 3}));
    ok &= write_seed("wav_loader", "mono8", wav(1, 8, {0x80, 0x90, 0x70}));
    ok &= write_seed("wav_loader", "no_channels", wav(0, 16, ramp(8)));
    ok &= write_seed("wav_loader", "header_only", wav(1, 16, {}));
    bytes_t short_file = wav(1, 16, {});
    short_file.resize(20);
    ok &= write_seed("wav_loader", "shorter_than_header", short_file);
    return ok;
}

// ---- parcels and transactions ----


struct request_t {
    const char* name;
    uint32_t code;
    bool has_int;
    int32_t value;
    const char* command;
};

const request_t requests[] = {
    {"buffer_heap", IAndroidShm::BUFFER_HEAP, true, 0, nullptr},
    {"run_command", IAndroidShm::RUN_COMMAND, false, 0, "semaphore"},
    {"allocate", IAndroidShm::ALLOCATE, true, 4096, nullptr},
    {"release_buffer", IAndroidShm::RELEASE_BUFFER, true, 0, nullptr},
    {"check_allocated", IAndroidShm::CHECK_ALLOCATED, true, 0, nullptr},
    {"set_registry_index", IAndroidShm::SET_REGISTRY_INDEX, true, 3, nullptr},
    {"get_registry_index", IAndroidShm::GET_REGISTRY_INDEX, false, 0, nullptr},
};

// The request as the proxy writes it; with `token` false only its arguments.
void write_request(Parcel* parcel, const request_t& request, bool token) {
    if (token) parcel->writeInterfaceToken(IAndroidShm::descriptor);
    if (request.has_int) parcel->writeInt32(request.value);
    if (request.command != nullptr) parcel->writeCString(request.command);
}

// parcel_fuzz input: descriptors, objects, data length, data, then steps.
bytes_t parcel_input(uint8_t fds, uint8_t objects, const Parcel& parcel, const bytes_t& steps) {
    bytes_t out;
    put_u8(out, fds);
    put_u8(out, objects);
    put_u16(out, uint16_t(parcel.dataSize()));
    put_parcel(out, parcel);
    out.insert(out.end(), steps.begin(), steps.end());
    return out;
}

// shm_transact_fuzz transaction: target (high bit: token in front), code choice,
// descriptor choice, data.
void put_transaction(bytes_t& out, uint8_t target, uint8_t code_choice, uint8_t fds,
                     const Parcel& parcel) {
    put_u8(out, target);
    put_u8(out, code_choice);
    put_u8(out, fds);
    put_u16(out, uint16_t(parcel.dataSize()));
    put_parcel(out, parcel);
}

// transport_record_fuzz input: receive flags, descriptor count, record.
bytes_t record_input(uint32_t kind, uint32_t code, const Parcel& parcel,
                     const std::vector<uint32_t>& handles, uint32_t fds) {
    using namespace binder_transport;
    bytes_t out;
    put_u8(out, 0);
    put_u8(out, uint8_t(fds));
    const wire_header header{kWireMagic, kind, kRootHandle, code, 0, 0,
                             uint32_t(parcel.dataSize()), uint32_t(handles.size()), fds};
    put(out, &header, sizeof header);
    put_parcel(out, parcel);
    for (uint32_t handle : handles) put_u32(out, handle);
    return out;
}

bool binder_seeds() {
    bool ok = true;
    for (const request_t& request : requests) {
        const std::string name = request.name;
        Parcel full;
        write_request(&full, request, true);
        // enforceInterface, then the argument read both ways.
        ok &= write_seed("parcel", name, parcel_input(0, 0, full, {11, 1, 4, 9, 0, 0, 0, 0, 0}));

        bytes_t one;
        put_transaction(one, 0, uint8_t(request.code - IBinder::FIRST_CALL_TRANSACTION), 0, full);
        ok &= write_seed("shm_transact", name, one);

        ok &= write_seed("transport_record", name,
                         record_input(binder_transport::kRequest, request.code, full, {}, 0));
    }

    // Every kind of item, with its side tables.
    Parcel items;
    const int memory = memfd_create("seed", MFD_CLOEXEC);
    items.writeStrongBinder(new BBinder());
    items.writeStrongBinder(nullptr);
    items.writeFileDescriptor(memory);
    items.writeString16(String16("IAndroidShm"));
    items.writeCString("semaphore");
    items.writeInt64(-2);
    items.writeInt32(7);
    ok &= write_seed("parcel", "every_item", parcel_input(1, 1, items, {7, 7, 8, 6, 4, 3, 1, 10, 5, 5}));
    ok &= write_seed("transport_record", "request_with_object_and_descriptor",
                     record_input(binder_transport::kRequest, IAndroidShm::ALLOCATE, items, {0}, 1));
    close(memory);
    Parcel empty;
    ok &= write_seed("transport_record", "release",
                     record_input(binder_transport::kRelease, 0, empty, {}, 0));
    // A client's queued releases of one handle, sent as one record.
    ok &= write_seed("transport_record", "release_of_many",
                     record_input(binder_transport::kRelease, 300, empty, {}, 0));

    // A whole session: allocate, fetch the heap and ask it for its descriptor, then
    // the other calls, a ping and the interface query.
    bytes_t session;
    auto call = [&](uint8_t target, uint8_t code_choice, const request_t* request) {
        Parcel args;
        if (request != nullptr) write_request(&args, *request, false);
        put_transaction(session, uint8_t(0x80 | target), code_choice, 0, args);
    };
    call(0, 2, &requests[2]);
    call(0, 0, &requests[0]);
    call(1, 0, nullptr);  // the heap's own first call
    call(0, 4, &requests[4]);
    call(0, 3, &requests[3]);
    call(0, 4, &requests[4]);
    call(0, 5, &requests[5]);
    call(0, 6, &requests[6]);
    call(0, 1, &requests[1]);
    call(0, 8, nullptr);
    call(0, 9, nullptr);
    ok &= write_seed("shm_transact", "session", session);
    return ok;
}

// ---- registries ----

constexpr size_t kHeaderSize = 2104, kServerSize = 260, kEntrySize = 272;

void set_u32(bytes_t& out, size_t at, uint32_t value) { std::memcpy(&out[at], &value, 4); }
void set_text(bytes_t& out, size_t at, const char* text) { std::memcpy(&out[at], text, std::strlen(text)); }

// registry_dump_fuzz input: buffer size, fill byte, the buffer's first bytes.
bytes_t registry_input(uint32_t size, uint8_t fill, const bytes_t& start) {
    bytes_t out;
    put_u32(out, size);
    put_u8(out, fill);
    out.insert(out.end(), start.begin(), start.end());
    return out;
}

bool registry_seeds() {
    const uint32_t full_size = uint32_t(kHeaderSize + 256 * kEntrySize);
    // Header, two servers and three entries; the zero fill ends the rest.
    bytes_t registry(kHeaderSize + 3 * kEntrySize, 0);
    set_u32(registry, 0, 0x4a41434b);
    set_u32(registry, 4, 4);  // protocol, 16 bits, then padding
    set_u32(registry, 8, 1);
    set_u32(registry, 12, full_size);
    set_u32(registry, 16, uint32_t(kHeaderSize));
    set_u32(registry, 20, uint32_t(kEntrySize));
    for (int server = 0; server < 2; ++server) {
        const size_t slot = 24 + kServerSize * server;
        set_u32(registry, slot, 1200 + server);
        set_text(registry, slot + 4, server == 0 ? "default" : "second");
    }
    for (int entry = 0; entry < 3; ++entry) {
        const size_t at = kHeaderSize + kEntrySize * entry;
        set_u32(registry, at, uint32_t(entry));
        set_u32(registry, at + 4, 1200);
        set_u32(registry, at + 8, 4096 * (entry + 1));
        set_text(registry, at + 12, entry == 0 ? "/jack-1000-0" : "/jack_default_0");
        set_u32(registry, at + 268, 10 + entry);
    }
    bool ok = true;
    ok &= write_seed("registry_dump", "registry_with_texts", registry_input(full_size, 0, registry));
    // Fields without a NUL anywhere: every text runs to the end of its field.
    ok &= write_seed("registry_dump", "unterminated_texts", registry_input(full_size, 'A', {}));
    ok &= write_seed("registry_dump", "larger_buffer", registry_input(full_size + 7, 0xff, registry));
    ok &= write_seed("registry_dump", "too_small", registry_input(100, 0, {1, 2, 3}));
    ok &= write_seed("registry_dump", "one_byte_short", registry_input(full_size - 1, 'B', registry));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus directory>\n");
        return 2;
    }
    out_dir = argv[1];
    mkdir(out_dir.c_str(), 0755);
    const bool ok = wav_seeds() && binder_seeds() && registry_seeds();
    return ok ? 0 : 1;
}
