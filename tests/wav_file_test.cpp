// The WAV file module: what it writes reads back the same, the header it writes is
// the canonical one, other chunks and pad bytes are stepped over, broken and
// unsupported files are refused, and no temporary file stays behind.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "util.h"
#include "wav_file.h"
#include "wav_files.h"

using namespace harness;
using wav_files::bytes;

namespace {

// A chunk: tag, little-endian size, body, and the pad byte behind an odd body.
bytes chunk(const char* tag, const bytes& body) {
    bytes out(tag, tag + 4);
    out.resize(8);
    wav_files::put_u32(out, 4, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0) out.push_back(0);
    return out;
}

// RIFF/WAVE over the chunks in this order.
bytes riff(const std::vector<bytes>& chunks) {
    bytes all;
    for (const bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return wav_files::riff_image(all);
}

// The 16-byte fmt body of a 16-bit PCM file.
bytes pcm16_fmt(uint16_t channels, uint32_t rate) {
    const bytes header = wav_files::canonical_header({channels, rate, 16}, 0);
    return bytes(header.begin() + 20, header.begin() + 36);
}

TEST(wav_file_round_trip, float_and_pcm16_read_back_with_their_format_bit_for_bit) {
    const std::vector<float> floats = {0.0f, -0.0f, 1e-42f, -1.0f, 0.5f, 3.0e38f,
                                       std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::quiet_NaN()};
    const std::vector<int16_t> pcm = {-32768, 32767, 0, -1, 1, 12345};
    const std::string dir = make_test_subdir("round_trip");
    std::string reason;
    ASSERT_TRUE(wav_write_float(dir + "/f.wav", 2, 96000, floats.data(), floats.size(), &reason))
        << reason;
    ASSERT_TRUE(wav_write_pcm16(dir + "/p.wav", 3, 22050, pcm.data(), pcm.size(), &reason))
        << reason;

    wav_audio_t f, p;
    ASSERT_TRUE(wav_read(dir + "/f.wav", &f, &reason)) << reason;
    EXPECT_EQ((std::vector<uint32_t>{f.fmt.format_tag, f.fmt.channels, f.fmt.sample_rate,
                                     f.fmt.bits_per_sample}),
              (std::vector<uint32_t>{3, 2, 96000, 32}));
    ASSERT_EQ(f.float32.size(), floats.size());
    EXPECT_EQ(std::memcmp(f.float32.data(), floats.data(), 4 * floats.size()), 0);
    EXPECT_TRUE(f.pcm16.empty());

    ASSERT_TRUE(wav_read(dir + "/p.wav", &p, &reason)) << reason;
    EXPECT_EQ((std::vector<uint32_t>{p.fmt.format_tag, p.fmt.channels, p.fmt.sample_rate,
                                     p.fmt.bits_per_sample}),
              (std::vector<uint32_t>{1, 3, 22050, 16}));
    EXPECT_EQ(p.pcm16, pcm);
    EXPECT_TRUE(p.float32.empty());
}

// The canonical header byte for byte, as other programs expect it.
TEST(wav_file_round_trip, a_mono_float_file_is_the_canonical_44_byte_header_and_its_samples) {
    const float one = 1.0f;  // 0x3f800000
    const std::string path = test_dir() + "/one.wav";
    std::string reason;
    ASSERT_TRUE(wav_write_float(path, 1, 48000, &one, 1, &reason)) << reason;
    const std::string want("RIFF\x28\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x80\xbb\0\0"
                           "\0\xee\x02\0\x04\0\x20\0data\x04\0\0\0\0\0\x80\x3f",
                           48);
    EXPECT_EQ(read_file(path), want);
}

TEST(wav_file_chunks, extra_chunks_pad_bytes_and_a_longer_fmt_are_stepped_over) {
    bytes fmt = pcm16_fmt(2, 44100);
    fmt.insert(fmt.end(), {0, 0});  // an 18-byte fmt chunk with its extension size
    const bytes data = wav_files::pcm16({1, -2, 3, -4});
    const bytes file = riff({chunk("LIST", {'I', 'N', 'F', 'O'}), chunk("fmt ", fmt),
                             chunk("odd ", {7, 7, 7}), chunk("data", data),
                             chunk("LIST", {'a', 'f', 't', 'e', 'r'})});
    wav_audio_t audio;
    std::string reason;
    ASSERT_TRUE(wav_parse(file.data(), file.size(), &audio, &reason)) << reason;
    EXPECT_EQ(audio.fmt.channels, 2);
    EXPECT_EQ(audio.pcm16, (std::vector<int16_t>{1, -2, 3, -4}));
}

TEST(wav_file_chunks, broken_and_unsupported_files_are_refused_with_their_reason) {
    const bytes fmt = chunk("fmt ", pcm16_fmt(1, 44100));
    const bytes data = chunk("data", wav_files::pcm16({5, 6}));
    bytes long_list = chunk("LIST", {'I', 'N', 'F', 'O'});
    wav_files::put_u32(long_list, 4, 0xfffffff0u);
    bytes long_data = data;
    wav_files::put_u32(long_data, 4, 6);
    const struct {
        const char* label;
        bytes file;
        std::string reason;
    } cases[] = {
        {"no_riff", {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a RIFF/WAVE file"},
        {"chunk_past_the_end", riff({fmt, long_list, data}),
         "truncated \"LIST\" chunk: 4294967280 bytes announced, 16 present"},
        {"data_past_the_end", riff({fmt, long_data}),
         "truncated data: 6 bytes announced, 4 present"},
        {"no_data", riff({fmt}), "no data chunk"},
        {"pcm24", wav_files::wav_image({1, 44100, 24}, {1, 2, 3}),
         "format 1 with 24-bit samples is not 16-bit PCM or 32-bit float"},
        {"extensible", wav_files::wav_image({1, 44100, 16, 0xfffe}, {1, 2}),
         "format 65534 with 16-bit samples is not 16-bit PCM or 32-bit float"},
    };
    for (const auto& c : cases) {
        wav_audio_t audio;
        std::string reason;
        EXPECT_FALSE(wav_parse(c.file.data(), c.file.size(), &audio, &reason)) << c.label;
        EXPECT_EQ(reason, c.reason) << c.label;
    }
}

// Whatever the outcome, the directory holds the target or nothing new.
TEST(wav_file_write, leaves_no_temporary_file_on_success_or_failure) {
    const std::string dir = make_test_subdir("writes");
    const std::vector<int16_t> frames = {1, 2, 3, 4};
    std::string reason;
    ASSERT_TRUE(wav_write_pcm16(dir + "/a.wav", 2, 44100, frames.data(), 4, &reason)) << reason;
    ASSERT_TRUE(wav_write_pcm16(dir + "/a.wav", 1, 8000, frames.data(), 3, &reason)) << reason;
    wav_audio_t audio;
    ASSERT_TRUE(wav_read(dir + "/a.wav", &audio, &reason)) << reason;
    EXPECT_EQ(audio.pcm16, (std::vector<int16_t>{1, 2, 3}));  // replaced whole

    make_test_subdir("writes/taken.wav");  // a directory in the way: the rename fails
    EXPECT_FALSE(wav_write_pcm16(dir + "/taken.wav", 1, 8000, frames.data(), 4, &reason));
    EXPECT_EQ(reason, "cannot write: Is a directory");
    EXPECT_FALSE(wav_write_pcm16(dir + "/b.wav", 3, 8000, frames.data(), 4, &reason));
    EXPECT_EQ(reason, "4 samples are not whole frames of 3 channels");
    EXPECT_FALSE(wav_write_float(dir + "/missing/c.wav", 1, 8000, nullptr, 0, &reason));
    EXPECT_EQ(reason, "cannot create a file in " + dir + "/missing/: No such file or directory");
    EXPECT_EQ(dir_entries(dir), (std::vector<std::string>{"a.wav", "taken.wav"}));
}

}  // namespace
