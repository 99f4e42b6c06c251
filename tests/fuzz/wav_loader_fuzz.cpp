// Fuzzes the WAV loader on arbitrary files, as the two players use it: the input is
// the whole file, held in a memory file and opened through /proc/self/fd. The
// loader's entry points run first, then spinreel's start-up and a few loops of its
// mix, then padplayer's loading and one playing of each key. The header report goes
// to /dev/null.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "loop_mix.h"
#include "padplayer.h"
#include "spinreel.h"
#include "wav_loader.h"

namespace {

int wav_fd = -1;
char wav_path[64];

constexpr uint32_t BLOCK_FRAMES = 128;
// Enough blocks to wrap short loops several times; long files are cut off.
constexpr int MAX_BLOCKS = 64;

float in1[BLOCK_FRAMES], in2[BLOCK_FRAMES], out1[BLOCK_FRAMES], out2[BLOCK_FRAMES];

void check_loader_entry_points(size_t size) {
    FILE* stream = fopen(wav_path, "rb");
    FUZZ_EXPECT(stream != nullptr);
    FUZZ_EXPECT(wav_file_length(stream) == int64_t(size));
    int32_t bytes_read = -1;
    char* data = wav_read_data(stream, int32_t(size), &bytes_read);
    if (size == 0) {
        FUZZ_EXPECT(data == nullptr && bytes_read == 0);
    } else {
        FUZZ_EXPECT(data != nullptr && bytes_read == int32_t(size));
        FUZZ_EXPECT(data[size] == 0);  // the spare byte behind the data
    }
    free(data);
    fclose(stream);

    int16_t* samples = nullptr;
    const int32_t count = wav_load_samples(wav_path, &samples);
    if (size > size_t(WAV_HEADER_SIZE)) {
        FUZZ_EXPECT(samples != nullptr && count == int32_t(size) - WAV_HEADER_SIZE);
    } else {
        FUZZ_EXPECT(samples == nullptr && count < 1);
    }
    free(samples);
}

void play_spinreel() {
    char name[] = "spinreel";
    char* argv[] = {name, name, wav_path, nullptr};
    void* arg = nullptr;
    if (!spinreel_prepare(3, argv, &arg)) return;
    FUZZ_EXPECT(arg == &loop_buffer && loop_buffer.frames >= 1);
    for (int block = 0; block < MAX_BLOCKS; ++block) {
        spinreel_mix(BLOCK_FRAMES, &loop_buffer, wav_header.channels, in1, in2, out1, out2);
        FUZZ_EXPECT(loop_buffer.position >= 0);
    }
    spinreel_release(arg);
    loop_buffer = sample_buffer_t{};
}

void play_padplayer() {
    const char* const paths[KEY_COUNT] = {wav_path, wav_path, wav_path};
    if (padplayer_load(paths)) {
        for (const char key : {'a', 's', 'd', 'x'}) {
            padplayer_key(key);
            for (int block = 0; block < MAX_BLOCKS && current_sample.load() != nullptr; ++block) {
                padplayer_mix(BLOCK_FRAMES, in1, in2, out1, out2);
            }
        }
    }
    current_sample.store(nullptr);
    last_sample = nullptr;
    padplayer_release(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    wav_fd = memfd_create("wav", MFD_CLOEXEC);
    FUZZ_EXPECT(wav_fd >= 0);
    std::snprintf(wav_path, sizeof wav_path, "/proc/self/fd/%d", wav_fd);
    // The header report is not what is checked here.
    FUZZ_EXPECT(freopen("/dev/null", "w", stdout) != nullptr);
    for (uint32_t i = 0; i < BLOCK_FRAMES; ++i) {
        in1[i] = 0.25f;
        in2[i] = -0.5f;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_EXPECT(ftruncate(wav_fd, 0) == 0);
    FUZZ_EXPECT(pwrite(wav_fd, data, size, 0) == ssize_t(size));
    check_loader_entry_points(size);
    play_spinreel();
    play_padplayer();
    return 0;
}
