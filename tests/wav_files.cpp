// Builds and writes WAV test files byte by byte, independent of the loader's record.
#include "wav_files.h"

#include <fstream>
#include <stdexcept>

namespace wav_files {

void put_u16(bytes& content, size_t offset, uint16_t value) {
    content.at(offset) = uint8_t(value);
    content.at(offset + 1) = uint8_t(value >> 8);
}

void put_u32(bytes& content, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) content.at(offset + i) = uint8_t(value >> (8 * i));
}

bytes canonical_header(const wav_format_t& format, uint32_t data_bytes) {
    bytes header(44, 0);
    const auto tag = [&](size_t offset, const char* text) {
        for (size_t i = 0; i < 4; ++i) header[offset + i] = uint8_t(text[i]);
    };
    const uint16_t block_align = uint16_t(format.channels * format.bits_per_sample / 8);
    tag(0, "RIFF");
    put_u32(header, 4, 36 + data_bytes);
    tag(8, "WAVE");
    tag(12, "fmt ");
    put_u32(header, 16, 16);
    put_u16(header, 20, 1);
    put_u16(header, 22, format.channels);
    put_u32(header, 24, format.sample_rate);
    put_u32(header, 28, format.sample_rate * block_align);
    put_u16(header, 32, block_align);
    put_u16(header, 34, format.bits_per_sample);
    tag(36, "data");
    put_u32(header, 40, data_bytes);
    return header;
}

bytes pcm16(const std::vector<int16_t>& values) {
    bytes data;
    data.reserve(values.size() * 2);
    for (int16_t v : values) {
        const auto u = uint16_t(v);
        data.push_back(uint8_t(u));
        data.push_back(uint8_t(u >> 8));
    }
    return data;
}

bytes wav_image(const wav_format_t& format, const bytes& data) {
    bytes image = canonical_header(format, uint32_t(data.size()));
    image.insert(image.end(), data.begin(), data.end());
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
    wav_format_t format;
    format.channels = channels;
    format.sample_rate = sample_rate;
    write_bytes(path, wav_image(format, pcm16(values)));
    return path;
}

}  // namespace wav_files
