// The WAV loader on files that the tests write: lengths, counts, short reads, the
// zeroed spare byte, a failed allocation and the header record.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util.h"
#include "wav_files.h"
#include "wav_loader.h"

using namespace harness;
using namespace wav_files;

namespace {

std::string path_of(const std::string& name) { return test_dir() + "/" + name; }

bytes counting_bytes(size_t n) {
    bytes data(n);
    for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 7 + 3);
    return data;
}

TEST(wav_loader_counts, canonical_file_loads_everything_behind_the_header) {
    const bytes data = counting_bytes(1001);  // odd: a trailing byte that is half a value
    const std::string path = path_of("canonical.wav");
    write_bytes(path, wav_image({}, data));

    // Dirty a heap block of the size the loader asks for, so that an unset spare byte
    // would likely show as non-zero.
    void* dirty = malloc(data.size() + 1);
    memset(dirty, 0xA5, data.size() + 1);
    free(dirty);

    int16_t* samples = nullptr;
    ASSERT_EQ(wav_load_samples(path.c_str(), &samples), int32_t(data.size()));
    ASSERT_NE(samples, nullptr);
    const auto* loaded = reinterpret_cast<const uint8_t*>(samples);
    EXPECT_EQ(bytes(loaded, loaded + data.size()), data);
    EXPECT_EQ(loaded[data.size()], 0) << "the spare byte behind the data";
    free(samples);
}

TEST(wav_loader_counts, header_only_short_and_missing_files_give_no_buffer) {
    int16_t* samples = reinterpret_cast<int16_t*>(&samples);  // not null before the call

    write_bytes(path_of("empty.wav"), canonical_header({}, 0));
    EXPECT_EQ(wav_load_samples(path_of("empty.wav").c_str(), &samples), 0);
    EXPECT_EQ(samples, nullptr);

    samples = reinterpret_cast<int16_t*>(&samples);
    write_bytes(path_of("short.wav"), counting_bytes(30));
    EXPECT_EQ(wav_load_samples(path_of("short.wav").c_str(), &samples), 30 - WAV_HEADER_SIZE);
    EXPECT_EQ(samples, nullptr);

    samples = reinterpret_cast<int16_t*>(&samples);
    EXPECT_EQ(wav_load_samples(path_of("missing.wav").c_str(), &samples), -1);
    EXPECT_EQ(samples, nullptr);
}

TEST(wav_loader_counts, extended_fmt_chunk_is_loaded_from_offset_44) {
    // An 18-byte fmt chunk moves the real data chunk two bytes on; the loader still
    // takes everything from offset 44, part of the data chunk's header included.
    bytes file = canonical_header({}, 0);
    put_u32(file, 16, 18);
    file.resize(36);
    file.insert(file.end(), {0, 0});  // the fmt extension size
    const char tag[] = "data";
    file.insert(file.end(), tag, tag + 4);
    const bytes data = counting_bytes(64);
    file.insert(file.end(), {64, 0, 0, 0});
    file.insert(file.end(), data.begin(), data.end());
    write_bytes(path_of("fmt18.wav"), file);

    int16_t* samples = nullptr;
    ASSERT_EQ(wav_load_samples(path_of("fmt18.wav").c_str(), &samples), int32_t(file.size() - 44));
    const auto* loaded = reinterpret_cast<const uint8_t*>(samples);
    EXPECT_EQ(bytes(loaded, loaded + file.size() - 44), bytes(file.begin() + 44, file.end()));
    free(samples);
}

TEST(wav_loader_read, short_read_reports_what_it_read_and_zeroes_the_rest) {
    char source[10];
    for (int i = 0; i < 10; ++i) source[i] = char(0x41 + i);
    FILE* stream = fmemopen(source, sizeof source, "rb");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(fseek(stream, 3, SEEK_SET), 0);

    int32_t bytes_read = -7;
    char* data = wav_read_data(stream, 100, &bytes_read);
    fclose(stream);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(bytes_read, 7);
    EXPECT_EQ(std::string(data, 7), "DEFGHIJ");
    for (int i = 7; i <= 100; ++i) EXPECT_EQ(data[i], 0) << "byte " << i;
    free(data);
}

TEST(wav_loader_read, count_below_one_reads_nothing) {
    char source[4] = {1, 2, 3, 4};
    FILE* stream = fmemopen(source, sizeof source, "rb");
    ASSERT_NE(stream, nullptr);
    for (int32_t count : {0, -1, -45}) {
        int32_t bytes_read = 99;
        EXPECT_EQ(wav_read_data(stream, count, &bytes_read), nullptr) << count;
        EXPECT_EQ(bytes_read, 0) << count;
        EXPECT_EQ(ftell(stream), 0) << count;
    }
    fclose(stream);
}

TEST(wav_loader_length, length_rewinds_and_a_failed_seek_gives_minus_one) {
    write_bytes(path_of("len.wav"), counting_bytes(123));
    FILE* stream = fopen(path_of("len.wav").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(fseek(stream, 17, SEEK_SET), 0);
    EXPECT_EQ(wav_file_length(stream), 123);
    EXPECT_EQ(ftell(stream), 0);
    fclose(stream);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE* piped = fdopen(fds[0], "rb");
    EXPECT_EQ(wav_file_length(piped), -1);
    fclose(piped);
    close(fds[1]);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // their allocators abort rather than fail
#else
constexpr bool sanitized = false;
#endif

constexpr int limit_not_in_force = 2;

// Runs `check` in a child process limited to 512 MB of address space; the child's
// exit status: 0 if the check held, 1 if not, limit_not_in_force if the limit could
// not be set or does not hold (qemu-user accepts it and ignores it).
int with_small_address_space(const std::function<bool()>& check) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{512L << 20, 512L << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(limit_not_in_force);
        void* probe = malloc(768u << 20);
        if (probe != nullptr) _exit(limit_not_in_force);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(wav_loader_allocation, failed_allocation_is_a_failure_without_buffer) {
    if (sanitized) GTEST_SKIP() << "a sanitizer's allocator does not return null";
    // A sparse file of 1.5 GB whose buffer cannot be had under a 512 MB address limit.
    const std::string path = path_of("huge.wav");
    write_bytes(path, canonical_header({}, 0));
    ASSERT_EQ(truncate(path.c_str(), 1536L << 20), 0);
    if (with_small_address_space([] { return true; }) == limit_not_in_force) {
        GTEST_SKIP() << "the address-space limit is not in force here";
    }
    EXPECT_EQ(with_small_address_space([&] {
                  int16_t* samples = reinterpret_cast<int16_t*>(&samples);
                  const int32_t count = wav_load_samples(path.c_str(), &samples);
                  return count < 1 && samples == nullptr;
              }),
              0);
    EXPECT_EQ(with_small_address_space([&] {
                  FILE* stream = fopen(path.c_str(), "rb");
                  int32_t bytes_read = 5;
                  const char* data = wav_read_data(stream, 1 << 30, &bytes_read);
                  return data == nullptr && bytes_read == 0;
              }),
              0);
}

TEST(wav_loader_header, record_matches_the_file_and_a_short_file_leaves_the_rest) {
    wav_format_t format;
    format.channels = 3;
    format.sample_rate = 22050;
    write_bytes(path_of("h.wav"), wav_image(format, counting_bytes(12)));
    wav_header_t header{};
    testing::internal::CaptureStdout();
    wav_read_header(path_of("h.wav").c_str(), &header);
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(header.riff_tag, 4), "RIFF");
    EXPECT_EQ(std::string(header.data_tag, 4), "data");
    EXPECT_EQ(header.riff_size, 36u + 12u);
    EXPECT_EQ(header.fmt_size, 16u);
    EXPECT_EQ(header.audio_format, 1u);
    EXPECT_EQ(header.channels, 3u);
    EXPECT_EQ(header.sample_rate, 22050u);
    EXPECT_EQ(header.byte_rate, 22050u * 6u);
    EXPECT_EQ(header.block_align, 6u);
    EXPECT_EQ(header.bits_per_sample, 16u);
    EXPECT_EQ(header.data_size, 12u);
    EXPECT_EQ(split_lines(report).size(), 10u) << report;

    // 30 bytes end before bits_per_sample: that field and the rest stay as they were.
    bytes cut = canonical_header({}, 100);
    cut.resize(30);
    write_bytes(path_of("cut.wav"), cut);
    wav_header_t partial{};
    partial.data_size = 0x12345678;
    testing::internal::CaptureStdout();
    wav_read_header(path_of("cut.wav").c_str(), &partial);
    const std::string cut_report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(partial.channels, 2u);
    EXPECT_EQ(partial.bits_per_sample, 0u);
    EXPECT_EQ(partial.data_size, 0x12345678u);
    EXPECT_TRUE(lines_in_order(cut_report, {"File is 30 bytes.",
                                            "Number of bits used                   :0"}))
        << cut_report;
}

TEST(wav_loader_header, report_prints_32_bit_fields_signed_whatever_the_width_of_long) {
    // All ones, 2^31 and 2^31 - 1 in the 32-bit fields; 65535 in the 16-bit ones.
    bytes file = canonical_header({}, 0);
    put_u32(file, 4, 0xffffffffu);
    put_u32(file, 24, 0x80000000u);
    put_u32(file, 28, 0x7fffffffu);
    put_u32(file, 40, 0xfffffffeu);
    put_u16(file, 22, 0xffff);
    put_u16(file, 34, 0x8000);
    write_bytes(path_of("wide.wav"), file);
    wav_header_t header{};
    testing::internal::CaptureStdout();
    wav_read_header(path_of("wide.wav").c_str(), &header);
    const std::string report = testing::internal::GetCapturedStdout();
    EXPECT_EQ(report,
              "File is 44 bytes.\n"
              "RIFF header                           :RIFF\n"
              "WAVE header                           :WAVE\n"
              "FMT                                   :fmt \n"
              "Data size (based on bits used)        :-1\n"
              "Sampling Rate                         :-2147483648\n"
              "Number of bits used                   :32768\n"
              "Number of channels                    :65535\n"
              "Number of bytes per second            :2147483647\n"
              "data length                           :-2\n");
    if (sizeof(long) == 4) {
        // Where long has 32 bits, the device's "%ld" of the field gives the same text.
        char line[64];
        std::snprintf(line, sizeof line, "Sampling Rate                         :%ld\n",
                      static_cast<long>(header.sample_rate));
        EXPECT_NE(report.find(line), std::string::npos) << line;
    }
}

}  // namespace
