// WAV files of 16-bit PCM or 32-bit float samples, for the tools that read and write
// them whole (not the players, whose loader keeps its own simple reading).
//
// Reading walks the RIFF chunks: it finds "fmt " and then "data", skips every other
// chunk with its pad byte, and refuses a chunk that runs past the end of the file;
// the RIFF size is not trusted, the file's own size is. Writing goes to a temporary
// file beside the target and is renamed over it, so a reader sees the old file or
// the whole new one, never a part. Failures come back as false with the reason in
// *reason (without the file name); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The fmt chunk's format tags this module reads and writes.
constexpr uint16_t wav_format_pcm = 1;
constexpr uint16_t wav_format_float = 3;

// The fmt chunk's fields that decide how the data is laid out; block align and byte
// rate follow from them.
struct wav_fmt_t {
    uint16_t format_tag = wav_format_pcm;
    uint16_t channels = 1;
    uint32_t sample_rate = 44100;
    uint16_t bits_per_sample = 16;
};

// What a file holds: its format and its samples, interleaved frame by frame, in
// pcm16 for 16-bit PCM or in float32 for 32-bit float (the other stays empty).
struct wav_audio_t {
    wav_fmt_t fmt;
    std::vector<int16_t> pcm16;
    std::vector<float> float32;
};

// The reason given when a file or its samples do not fit in memory.
extern const char* const wav_too_large;

// Parses a whole file's bytes. The file must hold 16-bit PCM or 32-bit float, at
// least one channel, a sample rate above 0 and whole frames.
bool wav_parse(const uint8_t* file, size_t size, wav_audio_t* audio, std::string* reason);

// Reads and parses the file at `path`.
bool wav_read(const std::string& path, wav_audio_t* audio, std::string* reason);

// Writes `count` interleaved samples (whole frames of `channels`) as the file at
// `path`, with the canonical 44-byte header, replacing any file there.
bool wav_write_pcm16(const std::string& path, uint16_t channels, uint32_t sample_rate,
                     const int16_t* samples, size_t count, std::string* reason);
bool wav_write_float(const std::string& path, uint16_t channels, uint32_t sample_rate,
                     const float* samples, size_t count, std::string* reason);

// The pieces of a file in memory, for code that builds files byte by byte (tests,
// fuzz seeds). The header takes the fields as given, unchecked, so it can describe
// files that the reader refuses.
std::vector<uint8_t> wav_header_bytes(const wav_fmt_t& fmt, uint32_t data_bytes);
std::vector<uint8_t> wav_pcm16_bytes(const int16_t* samples, size_t count);
std::vector<uint8_t> wav_float_bytes(const float* samples, size_t count);

// A field stored little-endian at `at`, as WAV stores every field.
void wav_store_u16(uint8_t* at, uint16_t value);
void wav_store_u32(uint8_t* at, uint32_t value);
