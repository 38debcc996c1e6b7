// SPDX-License-Identifier: MIT

#include "render/StreamHeader.h"

#include <sndfile.h>

#include <string>

namespace tarvio::render {

namespace {

constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
// The WAVE_FORMAT_EXTENSIBLE format chunk's body.
constexpr std::uint32_t kWavFormatBytes = 40;
// AU encodings: linear PCM of 16, 24 and 32 bits, and 32-bit float.
constexpr std::uint32_t kAuPcm16 = 3, kAuPcm24 = 4, kAuPcm32 = 5, kAuFloat = 6;
// Its header: the six fields and eight bytes of empty annotation, as ffmpeg
// writes it (sox warns of a header without annotation).
constexpr std::uint32_t kAuHeaderBytes = 32;

void put(std::vector<unsigned char>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

void putLe(std::vector<unsigned char>& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void putBe(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::vector<unsigned char> wavHeader(const SampleFormat& s, int channels, int rate,
                                     std::uint32_t mask) {
    const std::uint32_t frameBytes = static_cast<std::uint32_t>(channels * s.bytes);
    std::vector<unsigned char> h;
    put(h, "RIFF");
    putLe(h, kUnknown, 4);
    put(h, "WAVE");
    put(h, "fmt ");
    putLe(h, kWavFormatBytes, 4);
    putLe(h, 0xFFFE, 2);  // WAVE_FORMAT_EXTENSIBLE
    putLe(h, static_cast<std::uint32_t>(channels), 2);
    putLe(h, static_cast<std::uint32_t>(rate), 4);
    putLe(h, static_cast<std::uint32_t>(rate) * frameBytes, 4);
    putLe(h, frameBytes, 2);
    putLe(h, static_cast<std::uint32_t>(8 * s.bytes), 2);
    putLe(h, 22, 2);  // the extension's size
    putLe(h, static_cast<std::uint32_t>(s.bits), 2);
    putLe(h, mask, 4);
    // The sub-format GUID: PCM (1) or IEEE float (3), then
    // 0000-0010-8000-00AA00389B71.
    putLe(h, s.isFloat ? 3 : 1, 4);
    const unsigned char tail[] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                  0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    h.insert(h.end(), tail, tail + sizeof tail);
    put(h, "data");
    putLe(h, kUnknown, 4);
    return h;
}

std::vector<unsigned char> auHeader(const SampleFormat& s, int channels, int rate) {
    std::vector<unsigned char> h;
    put(h, ".snd");
    putBe(h, kAuHeaderBytes);
    putBe(h, kUnknown);
    putBe(h, s.isFloat ? kAuFloat : s.bits == 16 ? kAuPcm16 : s.bits == 24 ? kAuPcm24 : kAuPcm32);
    putBe(h, static_cast<std::uint32_t>(rate));
    putBe(h, static_cast<std::uint32_t>(channels));
    h.resize(kAuHeaderBytes, 0);
    return h;
}

SizeField field(std::size_t offset, std::uint32_t v, bool bigEndian) {
    SizeField f{offset, {}};
    for (int i = 0; i < 4; ++i)
        f.bytes[bigEndian ? 3 - i : i] = static_cast<unsigned char>(v >> (8 * i));
    return f;
}

}  // namespace

bool streamable(const OutputFormat& format) {
    return format.sndfileMajor == SF_FORMAT_WAVEX || format.sndfileMajor == SF_FORMAT_AU;
}

std::vector<unsigned char> streamHeader(const OutputFormat& format, const SampleFormat& samples,
                                        int channels, int rate, std::uint32_t channelMask) {
    if (format.sndfileMajor == SF_FORMAT_AU)
        return auHeader(samples, channels, rate);
    return wavHeader(samples, channels, rate, channelMask);
}

std::vector<SizeField> streamSizes(const OutputFormat& format, std::size_t headerBytes,
                                   std::uint64_t dataBytes) {
    if (format.sndfileMajor == SF_FORMAT_AU) {
        if (dataBytes >= kUnknown)
            return {};
        return {field(8, static_cast<std::uint32_t>(dataBytes), true)};
    }
    // RIFF counts everything after its own size field.
    const std::uint64_t riff = headerBytes - 8 + dataBytes;
    if (riff >= kUnknown)
        return {};
    return {field(4, static_cast<std::uint32_t>(riff), false),
            field(headerBytes - 4, static_cast<std::uint32_t>(dataBytes), false)};
}

}  // namespace tarvio::render
