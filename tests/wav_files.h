// Writes the WAV files that the loader and player tests use: canonical PCM files
// through the WAV file module, and images of chosen header fields over chosen data
// bytes, patched where a test needs a quirk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wav_file.h"

namespace wav_files {

using bytes = std::vector<uint8_t>;

struct wav_format_t {
    uint16_t channels = 2;
    uint32_t sample_rate = 44100;
    uint16_t bits_per_sample = 16;
    uint16_t format_tag = wav_format_pcm;
};

// The canonical 44-byte header (16-byte fmt chunk) for `data_bytes` of data.
bytes canonical_header(const wav_format_t& format, uint32_t data_bytes);

// Little-endian bytes of 16-bit values, as WAV stores them.
bytes pcm16(const std::vector<int16_t>& values);

// A canonical header followed by `data`.
bytes wav_image(const wav_format_t& format, const bytes& data);

// RIFF/WAVE with its size over `chunks`, laid end to end.
bytes riff_image(const bytes& chunks);

// Writes `content` to `path` (created or truncated); throws on failure.
void write_bytes(const std::string& path, const bytes& content);

// Writes a canonical 16-bit file of `values` (whole frames) at `path` and returns
// the path; throws on failure.
std::string write_wav(const std::string& path, const std::vector<int16_t>& values,
                      uint16_t channels, uint32_t sample_rate = 44100);

// Stores a 16- or 32-bit little-endian value into `content` at `offset`.
void put_u16(bytes& content, size_t offset, uint16_t value);
void put_u32(bytes& content, size_t offset, uint32_t value);

}  // namespace wav_files
