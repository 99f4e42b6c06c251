// The WAV sample loader shared by the two players. It assumes the canonical 44-byte
// header and takes every byte from offset 44 to the end of the file as 16-bit sample
// data; it parses no chunks and tests no header field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int32_t WAV_HEADER_SIZE = 44;

// The canonical header, laid out as in the file (little-endian fields).
struct wav_header_t {
    char riff_tag[4];
    uint32_t riff_size;
    char wave_tag[4];
    char fmt_tag[4];
    uint32_t fmt_size;
    uint16_t audio_format;
    uint16_t channels;
    uint32_t sample_rate;
    uint32_t byte_rate;
    uint16_t block_align;
    uint16_t bits_per_sample;
    char data_tag[4];
    uint32_t data_size;
};

static_assert(sizeof(wav_header_t) == WAV_HEADER_SIZE, "header record must match the file");
static_assert(offsetof(wav_header_t, riff_size) == 4);
static_assert(offsetof(wav_header_t, wave_tag) == 8);
static_assert(offsetof(wav_header_t, fmt_tag) == 12);
static_assert(offsetof(wav_header_t, fmt_size) == 16);
static_assert(offsetof(wav_header_t, audio_format) == 20);
static_assert(offsetof(wav_header_t, channels) == 22);
static_assert(offsetof(wav_header_t, sample_rate) == 24);
static_assert(offsetof(wav_header_t, byte_rate) == 28);
static_assert(offsetof(wav_header_t, block_align) == 32);
static_assert(offsetof(wav_header_t, bits_per_sample) == 34);
static_assert(offsetof(wav_header_t, data_tag) == 36);
static_assert(offsetof(wav_header_t, data_size) == 40);

// The length of the stream's file, in 64 bits whatever the width of long, leaving
// it positioned at offset 0; -1 when the seek to the end fails (the position is then
// unchanged).
int64_t wav_file_length(FILE* stream);

// Reads up to `count` bytes from the stream's current position into a new heap
// buffer of count + 1 bytes whose bytes behind those read are zero. *bytes_read gets
// the number of bytes actually read. Returns null, with *bytes_read 0, when count is
// below 1 (nothing is read) or the allocation fails. The caller frees with free().
char* wav_read_data(FILE* stream, int32_t count, int32_t* bytes_read);

// Loads everything behind the 44-byte header of the file at `path` into *samples and
// returns the number of bytes actually read. Returns a count below 1 with *samples
// null when the file cannot be opened (-1), holds no data behind the header, holds
// more than a signed 32-bit count (-1: it cannot be loaded whole), the allocation
// fails or nothing could be read. The caller frees with free().
int32_t wav_load_samples(const char* path, int16_t** samples);

// Reads the file's first 44 bytes into *header (bytes the file does not hold are left
// as they were) and prints the header report on standard output. When the file cannot
// be opened, prints "Can not able to open wave file" and ends the process with status 1.
void wav_read_header(const char* path, wav_header_t* header);
