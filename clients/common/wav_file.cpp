// WAV files: the chunk walk and sample decoding of a file in memory, the whole-file
// read, and the writers that stream header and samples into a temporary file beside
// the target and rename it into place.
#include "wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

const char* const wav_too_large = "too large to hold in memory";

namespace {

constexpr size_t header_size = 44;

uint16_t load_u16(const uint8_t* at) { return uint16_t(at[0] | (at[1] << 8)); }

uint32_t load_u32(const uint8_t* at) {
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) |
           (uint32_t(at[3]) << 24);
}

bool has_tag(const uint8_t* at, const char* tag) { return std::memcmp(at, tag, 4) == 0; }

// A chunk's tag for a message: bytes outside printable ASCII show as '?'.
std::string tag_text(const uint8_t* at) {
    std::string text(reinterpret_cast<const char*>(at), 4);
    for (char& c : text) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    return text;
}

std::string system_reason(const std::string& what) { return what + ": " + std::strerror(errno); }

void encode(const int16_t* samples, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) wav_store_u16(out + 2 * i, uint16_t(samples[i]));
}

void encode(const float* samples, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof bits);
        wav_store_u32(out + 4 * i, bits);
    }
}

void lay_out_header(const wav_fmt_t& fmt, uint32_t data_bytes, uint8_t* out) {
    // Unsigned arithmetic: fields the caller made absurd wrap rather than overflow.
    const auto block_align = uint16_t(uint32_t(fmt.channels) * fmt.bits_per_sample / 8);
    std::memcpy(out, "RIFF", 4);
    wav_store_u32(out + 4, uint32_t(header_size - 8) + data_bytes);
    std::memcpy(out + 8, "WAVEfmt ", 8);
    wav_store_u32(out + 16, 16);
    wav_store_u16(out + 20, fmt.format_tag);
    wav_store_u16(out + 22, fmt.channels);
    wav_store_u32(out + 24, fmt.sample_rate);
    wav_store_u32(out + 28, fmt.sample_rate * uint32_t(block_align));
    wav_store_u16(out + 32, block_align);
    wav_store_u16(out + 34, fmt.bits_per_sample);
    std::memcpy(out + 36, "data", 4);
    wav_store_u32(out + 40, data_bytes);
}

// The data chunk at `data` checked against the format and decoded into *audio.
bool take_data(const wav_fmt_t& fmt, uint16_t block_align, const uint8_t* data, uint32_t data_size,
               size_t present, wav_audio_t* audio, std::string* reason) {
    const bool pcm16 = fmt.format_tag == wav_format_pcm && fmt.bits_per_sample == 16;
    const bool float32 = fmt.format_tag == wav_format_float && fmt.bits_per_sample == 32;
    if (!pcm16 && !float32) {
        *reason = "format " + std::to_string(fmt.format_tag) + " with " +
                  std::to_string(fmt.bits_per_sample) +
                  "-bit samples is not 16-bit PCM or 32-bit float";
        return false;
    }
    if (fmt.channels == 0) {
        *reason = "zero channels";
        return false;
    }
    if (fmt.sample_rate == 0) {
        *reason = "sample rate 0";
        return false;
    }
    const size_t sample_bytes = fmt.bits_per_sample / 8;
    const size_t frame_bytes = sample_bytes * fmt.channels;
    if (block_align != frame_bytes) {
        *reason = "block align " + std::to_string(block_align) + " where " +
                  std::to_string(frame_bytes) + " was expected";
        return false;
    }
    if (present < data_size) {
        *reason = "truncated data: " + std::to_string(data_size) + " bytes announced, " +
                  std::to_string(present) + " present";
        return false;
    }
    if (data_size % frame_bytes != 0) {
        *reason = "truncated data: " + std::to_string(data_size) +
                  " bytes are not whole frames of " + std::to_string(frame_bytes) + " bytes";
        return false;
    }

    const size_t count = data_size / sample_bytes;
    audio->fmt = fmt;
    try {
        audio->pcm16.assign(pcm16 ? count : 0, 0);
        audio->float32.assign(float32 ? count : 0, 0.0f);
    } catch (const std::bad_alloc&) {
        *reason = wav_too_large;
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (pcm16) {
            audio->pcm16[i] = int16_t(load_u16(data + 2 * i));
        } else {
            const uint32_t bits = load_u32(data + 4 * i);
            std::memcpy(&audio->float32[i], &bits, sizeof bits);
        }
    }
    return true;
}

bool read_whole_file(FILE* file, std::vector<uint8_t>* content, std::string* reason) {
    try {
        // A regular file's size is known: one allocation instead of a growing buffer.
        struct stat st {};
        if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            if (uint64_t(st.st_size) > content->max_size()) throw std::length_error("size");
            content->reserve(size_t(st.st_size));
        }
        uint8_t chunk[65536];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
            content->insert(content->end(), chunk, chunk + got);
        }
    } catch (const std::exception&) {  // std::bad_alloc or std::length_error
        *reason = wav_too_large;
        return false;
    }
    if (ferror(file) != 0) {
        *reason = system_reason("cannot read");
        return false;
    }
    return true;
}

// A new hidden file beside `path` (".<name>.<suffix>"), made with O_EXCL and mode
// 0666 so that the umask and any default ACL apply as to a plain creation. Returns
// its descriptor, or -1 with the reason.
int create_beside(const std::string& path, std::string* temp, std::string* reason) {
    static std::atomic<uint32_t> serial{0};
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    // Short enough that the dot and the suffix keep the name within 255 bytes.
    const std::string name = path.substr(dir.size(), 200);
    for (int attempt = 0; attempt < 16; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        *temp = dir + "." + name + "." + std::to_string(getpid()) + "-" +
                std::to_string(serial++) + "-" + std::to_string(now.tv_nsec);
        const int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    *reason = system_reason("cannot create a file in " + (dir.empty() ? std::string(".") : dir));
    return -1;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

template <typename sample_t>
bool write_file(const std::string& path, uint16_t format_tag, uint16_t channels,
                uint32_t sample_rate, const sample_t* samples, size_t count, std::string* reason) {
    constexpr size_t sample_bytes = sizeof(sample_t);
    if (channels == 0) {
        *reason = "zero channels";
        return false;
    }
    if (sample_rate == 0) {
        *reason = "sample rate 0";
        return false;
    }
    if (count % channels != 0) {
        *reason = std::to_string(count) + " samples are not whole frames of " +
                  std::to_string(channels) + " channels";
        return false;
    }
    // The RIFF size must fit 32 bits, and the whole file a 32-bit size_t.
    if (count > (UINT32_MAX - header_size) / sample_bytes) {
        *reason = "too many samples for a WAV file";
        return false;
    }
    // Block align has 16 bits and the byte rate 32.
    const size_t block_align = channels * sample_bytes;
    if (block_align > UINT16_MAX) {
        *reason = "too many channels for a WAV file";
        return false;
    }
    if (sample_rate > UINT32_MAX / block_align) {
        *reason = "sample rate too high for a WAV file";
        return false;
    }

    std::string temp;
    const int fd = create_beside(path, &temp, reason);
    if (fd < 0) return false;
    uint8_t block[16384];
    lay_out_header({format_tag, channels, sample_rate, uint16_t(8 * sample_bytes)},
                   uint32_t(count * sample_bytes), block);
    bool ok = write_all(fd, block, header_size);
    constexpr size_t per_block = sizeof block / sample_bytes;
    for (size_t at = 0; ok && at < count; at += per_block) {
        const size_t n = std::min(per_block, count - at);
        encode(samples + at, n, block);
        ok = write_all(fd, block, n * sample_bytes);
    }
    // On disk before the rename, so that a crash leaves the old file or the whole new one.
    ok = ok && fsync(fd) == 0;
    if (!ok) *reason = system_reason("cannot write");
    if (close(fd) != 0 && ok) {
        ok = false;
        *reason = system_reason("cannot write");
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        *reason = system_reason("cannot write");
    }
    if (!ok) unlink(temp.c_str());
    return ok;
}

}  // namespace

bool wav_parse(const uint8_t* file, size_t size, wav_audio_t* audio, std::string* reason) {
    if (size < 12 || !has_tag(file, "RIFF") || !has_tag(file + 8, "WAVE")) {
        *reason = "not a RIFF/WAVE file";
        return false;
    }
    // The chunks up to the data chunk; a fmt chunk behind the data is not looked for.
    bool have_fmt = false;
    wav_fmt_t fmt;
    uint16_t block_align = 0;
    for (size_t at = 12; size - at >= 8;) {
        const uint8_t* chunk = file + at;
        const uint32_t chunk_size = load_u32(chunk + 4);
        const size_t present = size - at - 8;
        if (has_tag(chunk, "data")) {
            if (!have_fmt) break;
            return take_data(fmt, block_align, chunk + 8, chunk_size, present, audio, reason);
        }
        if (present < chunk_size) {
            *reason = "truncated \"" + tag_text(chunk) + "\" chunk: " + std::to_string(chunk_size) +
                      " bytes announced, " + std::to_string(present) + " present";
            return false;
        }
        if (has_tag(chunk, "fmt ")) {
            if (chunk_size < 16) {
                *reason = "fmt chunk too short (" + std::to_string(chunk_size) + " bytes)";
                return false;
            }
            fmt.format_tag = load_u16(chunk + 8);
            fmt.channels = load_u16(chunk + 10);
            fmt.sample_rate = load_u32(chunk + 12);
            block_align = load_u16(chunk + 20);
            fmt.bits_per_sample = load_u16(chunk + 22);
            have_fmt = true;
        }
        // An odd-sized chunk is followed by a pad byte; a last chunk may lack it.
        at += 8 + size_t(chunk_size);
        if ((chunk_size & 1u) != 0 && at < size) ++at;
    }
    *reason = have_fmt ? "no data chunk" : "no fmt chunk";
    return false;
}

bool wav_read(const std::string& path, wav_audio_t* audio, std::string* reason) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *reason = system_reason("cannot open");
        return false;
    }
    std::vector<uint8_t> content;
    const bool read = read_whole_file(file, &content, reason);
    fclose(file);
    return read && wav_parse(content.data(), content.size(), audio, reason);
}

bool wav_write_pcm16(const std::string& path, uint16_t channels, uint32_t sample_rate,
                     const int16_t* samples, size_t count, std::string* reason) {
    return write_file(path, wav_format_pcm, channels, sample_rate, samples, count, reason);
}

bool wav_write_float(const std::string& path, uint16_t channels, uint32_t sample_rate,
                     const float* samples, size_t count, std::string* reason) {
    return write_file(path, wav_format_float, channels, sample_rate, samples, count, reason);
}

std::vector<uint8_t> wav_header_bytes(const wav_fmt_t& fmt, uint32_t data_bytes) {
    std::vector<uint8_t> header(header_size);
    lay_out_header(fmt, data_bytes, header.data());
    return header;
}

std::vector<uint8_t> wav_pcm16_bytes(const int16_t* samples, size_t count) {
    std::vector<uint8_t> bytes(2 * count);
    encode(samples, count, bytes.data());
    return bytes;
}

std::vector<uint8_t> wav_float_bytes(const float* samples, size_t count) {
    std::vector<uint8_t> bytes(4 * count);
    encode(samples, count, bytes.data());
    return bytes;
}

void wav_store_u16(uint8_t* at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

void wav_store_u32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}
