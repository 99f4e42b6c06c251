// Writes the WAV files that the loader and player tests use: canonical PCM headers
// of chosen channels, rate and bits over chosen data bytes, or raw bytes for quirks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wav_files {

using bytes = std::vector<uint8_t>;

struct wav_format_t {
    uint16_t channels = 2;
    uint32_t sample_rate = 44100;
    uint16_t bits_per_sample = 16;
};

// The canonical 44-byte header (16-byte fmt chunk, PCM) for `data_bytes` of data.
bytes canonical_header(const wav_format_t& format, uint32_t data_bytes);

// Little-endian bytes of 16-bit values, as WAV stores them.
bytes pcm16(const std::vector<int16_t>& values);

// A canonical header followed by `data`.
bytes wav_image(const wav_format_t& format, const bytes& data);

// Writes `content` to `path` (created or truncated); throws on failure.
void write_bytes(const std::string& path, const bytes& content);

// Writes a canonical 16-bit file of `values` at `path` and returns the path.
std::string write_wav(const std::string& path, const std::vector<int16_t>& values,
                      uint16_t channels, uint32_t sample_rate = 44100);

// Stores a 16- or 32-bit little-endian value into `content` at `offset`.
void put_u16(bytes& content, size_t offset, uint16_t value);
void put_u32(bytes& content, size_t offset, uint32_t value);

}  // namespace wav_files
