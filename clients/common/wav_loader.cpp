// The WAV sample loader: file length, one read into a fresh buffer, the samples
// behind the 44-byte header, and the header report.
#include "wav_loader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// fopen for reading that does not wait for a FIFO's writer: a FIFO nobody writes
// to reads as empty at once instead of holding start-up for ever. The descriptor
// is this open's own, so clearing O_NONBLOCK again touches nobody else's.
FILE* open_for_reading(const char* path, const char* mode) {
    // O_LARGEFILE: a 32-bit program could not even open a file over 2 GiB to
    // report its length.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE);
    if (fd < 0) return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    FILE* stream = nullptr;
    if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) stream = fdopen(fd, mode);
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

int64_t wav_file_length(FILE* stream) {
    // The descriptor's 64-bit offset: ftell's long has 32 bits on the device.
    const int fd = fileno(stream);
    const off64_t length = fd < 0 ? -1 : lseek64(fd, 0, SEEK_END);
    if (length == -1) return -1;
    fseek(stream, 0, SEEK_SET);
    return length;
}

char* wav_read_data(FILE* stream, int32_t count, int32_t* bytes_read) {
    *bytes_read = 0;
    if (count < 1) return nullptr;
    // calloc zeroes the spare byte and whatever a short read leaves unfilled.
    char* data = static_cast<char*>(calloc(size_t(count) + 1, 1));
    if (data == nullptr) return nullptr;
    *bytes_read = int32_t(fread(data, 1, size_t(count), stream));
    return data;
}

int32_t wav_load_samples(const char* path, int16_t** samples) {
    *samples = nullptr;
    FILE* stream = open_for_reading(path, "rb");
    if (stream == nullptr) return -1;
    const int64_t length = wav_file_length(stream);
    const int64_t data_length = length - WAV_HEADER_SIZE;  // -45 when the length is unknown
    // Data that a signed 32-bit count cannot hold cannot be loaded whole: refused.
    const int32_t count = data_length > INT32_MAX ? -1 : int32_t(data_length);
    if (count < 1 || fseek(stream, WAV_HEADER_SIZE, SEEK_SET) != 0) {
        fclose(stream);
        return count < 1 ? count : -1;
    }
    int32_t bytes_read = 0;
    char* data = wav_read_data(stream, count, &bytes_read);
    fclose(stream);
    if (data == nullptr) return -1;  // allocation failed
    if (bytes_read < 1) {
        free(data);
        return 0;
    }
    *samples = reinterpret_cast<int16_t*>(data);
    return bytes_read;
}

void wav_read_header(const char* path, wav_header_t* header) {
    FILE* stream = open_for_reading(path, "r");
    if (stream == nullptr) {
        // "Can not able" on purpose: users' scripts match this text byte for byte.
        printf("Can not able to open wave file\n");
        exit(1);
    }
    // A file shorter than the header fills only the bytes it holds; the rest of
    // the record stays as the caller left it.
    const size_t header_bytes = fread(header, 1, size_t(WAV_HEADER_SIZE), stream);
    static_cast<void>(header_bytes);
    const int64_t length = wav_file_length(stream);
    fclose(stream);

    // The 32-bit fields print as signed 32-bit numbers whatever the width of long.
    printf("File is %" PRId64 " bytes.\n", length);
    printf("RIFF header                           :%c%c%c%c\n", header->riff_tag[0],
           header->riff_tag[1], header->riff_tag[2], header->riff_tag[3]);
    printf("WAVE header                           :%c%c%c%c\n", header->wave_tag[0],
           header->wave_tag[1], header->wave_tag[2], header->wave_tag[3]);
    printf("FMT                                   :%c%c%c%c\n", header->fmt_tag[0],
           header->fmt_tag[1], header->fmt_tag[2], header->fmt_tag[3]);
    printf("Data size (based on bits used)        :%" PRId32 "\n", int32_t(header->riff_size));
    printf("Sampling Rate                         :%" PRId32 "\n", int32_t(header->sample_rate));
    printf("Number of bits used                   :%u\n", unsigned(header->bits_per_sample));
    printf("Number of channels                    :%u\n", unsigned(header->channels));
    printf("Number of bytes per second            :%" PRId32 "\n", int32_t(header->byte_rate));
    printf("data length                           :%" PRId32 "\n", int32_t(header->data_size));
    // The report is complete before the program goes on, whatever ends it later.
    fflush(stdout);
}
