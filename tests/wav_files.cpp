// Test WAV files: canonical ones through the WAV file module, quirky ones as bytes.
#include "wav_files.h"

#include <fstream>
#include <stdexcept>

namespace wav_files {

namespace {

// Where a field of `size` bytes at `offset` starts; throws if it does not fit.
uint8_t* field(bytes& content, size_t offset, size_t size) {
    if (offset > content.size() || content.size() - offset < size) {
        throw std::out_of_range("a field past the end of the image");
    }
    return content.data() + offset;
}

}  // namespace

void put_u16(bytes& content, size_t offset, uint16_t value) {
    wav_store_u16(field(content, offset, 2), value);
}

void put_u32(bytes& content, size_t offset, uint32_t value) {
    wav_store_u32(field(content, offset, 4), value);
}

bytes canonical_header(const wav_format_t& format, uint32_t data_bytes) {
    return wav_header_bytes(
        {format.format_tag, format.channels, format.sample_rate, format.bits_per_sample},
        data_bytes);
}

bytes pcm16(const std::vector<int16_t>& values) {
    return wav_pcm16_bytes(values.data(), values.size());
}

bytes wav_image(const wav_format_t& format, const bytes& data) {
    bytes image = canonical_header(format, uint32_t(data.size()));
    image.insert(image.end(), data.begin(), data.end());
    return image;
}

bytes riff_image(const bytes& chunks) {
    bytes image = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    put_u32(image, 4, uint32_t(4 + chunks.size()));
    image.insert(image.end(), chunks.begin(), chunks.end());
    return image;
}

void write_bytes(const std::string& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string write_wav(const std::string& path, const std::vector<int16_t>& values,
                      uint16_t channels, uint32_t sample_rate) {
    std::string reason;
    if (!wav_write_pcm16(path, channels, sample_rate, values.data(), values.size(), &reason)) {
        throw std::runtime_error(path + ": " + reason);
    }
    return path;
}

}  // namespace wav_files
