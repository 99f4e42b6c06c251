// fxrender's steps: find the effect, read the WAV file's first channel, run the
// effect's processor over it as its client would, write the result atomically.
#include "fxrender.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "distortion.h"
#include "echo.h"
#include "fuzzpedal_args.h"
#include "tapdelay_args.h"
#include "wav_loader.h"

const char* const fxrender_usage =
    "Usage : fxrender fuzzpedal|tapdelay <in.wav> <out.wav> [numbers...]\n"
    "  Runs fuzzpedal's distortion or tapdelay's echo over the first channel of\n"
    "  <in.wav> and writes <out.wav>: mono, 32-bit float, at the input's rate.\n"
    "  The input holds 16-bit PCM, each sample s read as s / 32768.0f, or 32-bit\n"
    "  float. The numbers are the client's after its client name, read as it reads\n"
    "  them (whole numbers, atoi); the processor runs at 44100 Hz as in the client.\n";

namespace {

void parse_tapdelay(int argc, char** argv) {
    void* unused = nullptr;
    tapdelay_prepare(argc, argv, &unused);
}

const effect_t effects[] = {
    {"fuzzpedal", fuzzpedal_before_args, fuzzpedal_parse, distortion_compute},
    {"tapdelay", tapdelay_before_args, parse_tapdelay, echo_compute},
};

using bytes_t = std::vector<unsigned char>;

uint16_t get_u16(const bytes_t& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t get_u32(const bytes_t& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void put_u16(unsigned char* at, uint16_t v) {
    at[0] = static_cast<unsigned char>(v);
    at[1] = static_cast<unsigned char>(v >> 8);
}

void put_u32(unsigned char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool has_tag(const bytes_t& b, size_t at, const char* tag) {
    return std::memcmp(b.data() + at, tag, 4) == 0;
}

std::string system_reason(const char* what) { return std::string(what) + ": " + strerror(errno); }

bool read_whole_file(const std::string& path, bytes_t* content, std::string* reason) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *reason = system_reason("cannot open");
        return false;
    }
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        content->insert(content->end(), chunk, chunk + got);
    }
    const bool failed = ferror(file) != 0;
    if (failed) *reason = system_reason("cannot read");
    fclose(file);
    return !failed;
}

// The fmt chunk's fields that decide how the data is read.
struct wav_format_t {
    uint16_t format;
    uint16_t channels;
    uint32_t sample_rate;
    uint16_t block_align;
    uint16_t bits;
};

constexpr uint16_t format_pcm = 1;
constexpr uint16_t format_float = 3;

}  // namespace

const effect_t* fxrender_find_effect(const std::string& name) {
    for (const effect_t& e : effects) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

bool fxrender_read_wav(const std::string& path, wav_input_t* input, std::string* reason) {
    bytes_t file;
    if (!read_whole_file(path, &file, reason)) return false;
    if (file.size() < 12 || !has_tag(file, 0, "RIFF") || !has_tag(file, 8, "WAVE")) {
        *reason = "not a RIFF/WAVE file";
        return false;
    }

    // Chunks up to the data chunk; the RIFF size is not trusted, the file's is.
    bool have_format = false;
    wav_format_t fmt{};
    size_t data_at = 0;
    uint32_t data_size = 0;
    bool have_data = false;
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = get_u32(file, at + 4);
        const size_t body = at + 8;
        if (has_tag(file, at, "data")) {
            data_at = body;
            data_size = size;
            have_data = true;
            break;
        }
        if (has_tag(file, at, "fmt ")) {
            if (size < 16) {
                *reason = "fmt chunk too short (" + std::to_string(size) + " bytes)";
                return false;
            }
            if (file.size() - body < size) {
                *reason = "truncated fmt chunk";
                return false;
            }
            fmt.format = get_u16(file, body);
            fmt.channels = get_u16(file, body + 2);
            fmt.sample_rate = get_u32(file, body + 4);
            fmt.block_align = get_u16(file, body + 12);
            fmt.bits = get_u16(file, body + 14);
            have_format = true;
        }
        // A chunk that runs past the end hides whatever the file holds after it.
        if (file.size() - body < size) break;
        at = body + size + (size & 1u);  // chunks are padded to an even length
    }
    if (!have_format) {
        *reason = "no fmt chunk";
        return false;
    }
    if (!have_data) {
        *reason = "no data chunk";
        return false;
    }

    const bool pcm16 = fmt.format == format_pcm && fmt.bits == 16;
    const bool float32 = fmt.format == format_float && fmt.bits == 32;
    if (!pcm16 && !float32) {
        *reason = "format " + std::to_string(fmt.format) + " with " + std::to_string(fmt.bits) +
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
    const size_t sample_bytes = fmt.bits / 8;
    const size_t frame_bytes = sample_bytes * fmt.channels;
    if (fmt.block_align != frame_bytes) {
        *reason = "block align " + std::to_string(fmt.block_align) + " where " +
                  std::to_string(frame_bytes) + " was expected";
        return false;
    }
    if (file.size() - data_at < data_size) {
        *reason = "truncated data: " + std::to_string(data_size) + " bytes announced, " +
                  std::to_string(file.size() - data_at) + " present";
        return false;
    }
    if (data_size % frame_bytes != 0) {
        *reason = "truncated data: " + std::to_string(data_size) +
                  " bytes are not whole frames of " + std::to_string(frame_bytes) + " bytes";
        return false;
    }

    const size_t frames = data_size / frame_bytes;
    input->sample_rate = fmt.sample_rate;
    input->samples.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        const size_t at = data_at + i * frame_bytes;  // the first channel of frame i
        if (pcm16) {
            input->samples[i] = static_cast<float>(static_cast<int16_t>(get_u16(file, at))) /
                                32768.0f;
        } else {
            const uint32_t bits = get_u32(file, at);
            std::memcpy(&input->samples[i], &bits, sizeof bits);
        }
    }
    return true;
}

std::vector<float> fxrender_run(const effect_t& effect, const std::vector<std::string>& numbers,
                                const std::vector<float>& input, int32_t block) {
    // The client's own argv shape: program and client name, then the numbers.
    std::vector<std::string> args = {effect.name, "fxrender"};
    args.insert(args.end(), numbers.begin(), numbers.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    effect.before_args();
    effect.parse(static_cast<int>(args.size()), argv.data());

    if (block < 1) block = 1;
    std::vector<float> output(input.size());
    for (size_t at = 0; at < input.size(); at += static_cast<size_t>(block)) {
        const size_t n = std::min(static_cast<size_t>(block), input.size() - at);
        const float* const ins[] = {input.data() + at};
        float* const outs[] = {output.data() + at};
        effect.compute(static_cast<int32_t>(n), ins, outs);
    }
    return output;
}

bool fxrender_write_wav(const std::string& path, uint32_t sample_rate,
                        const std::vector<float>& samples, std::string* reason) {
    constexpr size_t header_size = WAV_HEADER_SIZE;
    // The RIFF size must fit 32 bits, and the whole image a 32-bit size_t.
    if (samples.size() > (UINT32_MAX - header_size) / sizeof(float)) {
        *reason = "too many samples for a WAV file";
        return false;
    }
    const auto data_size = static_cast<uint32_t>(samples.size() * sizeof(float));

    bytes_t image(header_size + data_size);
    unsigned char* h = image.data();
    std::memcpy(h + offsetof(wav_header_t, riff_tag), "RIFF", 4);
    put_u32(h + offsetof(wav_header_t, riff_size), static_cast<uint32_t>(header_size - 8) + data_size);
    std::memcpy(h + offsetof(wav_header_t, wave_tag), "WAVE", 4);
    std::memcpy(h + offsetof(wav_header_t, fmt_tag), "fmt ", 4);
    put_u32(h + offsetof(wav_header_t, fmt_size), 16);
    put_u16(h + offsetof(wav_header_t, audio_format), format_float);
    put_u16(h + offsetof(wav_header_t, channels), 1);
    put_u32(h + offsetof(wav_header_t, sample_rate), sample_rate);
    put_u32(h + offsetof(wav_header_t, byte_rate), sample_rate * 4u);
    put_u16(h + offsetof(wav_header_t, block_align), 4);
    put_u16(h + offsetof(wav_header_t, bits_per_sample), 32);
    std::memcpy(h + offsetof(wav_header_t, data_tag), "data", 4);
    put_u32(h + offsetof(wav_header_t, data_size), data_size);
    for (size_t i = 0; i < samples.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], sizeof bits);
        put_u32(h + header_size + 4 * i, bits);
    }

    // A hidden temporary file in the same directory, so that the rename is atomic.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = (slash == std::string::npos ? "" : dir) + "." + base + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *reason = system_reason(("cannot create a file in " + dir).c_str());
        return false;
    }
    // mkstemp makes the file 0600; give it the mode a plain creation would have.
    const mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; ok && done < image.size();) {
        const ssize_t n = write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
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

int fxrender_main(int argc, char** argv) {
    if (argc < 4) {
        fputs(fxrender_usage, stderr);
        return 1;
    }
    const effect_t* effect = fxrender_find_effect(argv[1]);
    if (effect == nullptr) {
        fprintf(stderr, "fxrender: unknown effect \"%s\" (fuzzpedal or tapdelay)\n", argv[1]);
        return 1;
    }
    const std::string in_path = argv[2], out_path = argv[3];
    try {
        wav_input_t input;
        std::string reason;
        if (!fxrender_read_wav(in_path, &input, &reason)) {
            fprintf(stderr, "fxrender: %s: %s\n", in_path.c_str(), reason.c_str());
            return 1;
        }
        const std::vector<std::string> numbers(argv + 4, argv + argc);
        const auto output = fxrender_run(*effect, numbers, input.samples, 128);
        if (!fxrender_write_wav(out_path, input.sample_rate, output, &reason)) {
            fprintf(stderr, "fxrender: %s: %s\n", out_path.c_str(), reason.c_str());
            return 1;
        }
    } catch (const std::bad_alloc&) {
        // A file too large for this machine's memory; nothing has been written.
        fprintf(stderr, "fxrender: %s: too large to render in memory\n", in_path.c_str());
        return 1;
    }
    return 0;
}
