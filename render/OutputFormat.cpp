// SPDX-License-Identifier: MIT

#include "render/OutputFormat.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>

namespace tarvio::render {

namespace {

// The size fields of WAV and AIFF files are 32 bits: the sample data must
// stay below 4 GiB with room for the header chunks.
constexpr std::uint64_t kMax32BitData = 0xFFFFFFFFull - 4096;

const std::vector<std::string> kAllSamples = {"16", "24", "32", "float"};

}  // namespace

const std::vector<SampleFormat>& sampleFormats() {
    static const std::vector<SampleFormat> rows = {
        {"16", "16-bit", 16, 2, false, SF_FORMAT_PCM_16, false},
        {"24", "24-bit", 24, 3, false, SF_FORMAT_PCM_24, false},
        {"32", "32-bit", 32, 4, false, SF_FORMAT_PCM_32, false},
        {"float", "32-bit float", 32, 4, true, SF_FORMAT_FLOAT, false},
        {"vorbis", "Vorbis", 24, 0, true, SF_FORMAT_VORBIS, true},
        {"opus", "Opus", 24, 0, true, SF_FORMAT_OPUS, true},
        {"mp3", "MPEG layer III", 24, 0, true, SF_FORMAT_MPEG_LAYER_III, true},
    };
    return rows;
}

const std::vector<OutputFormat>& outputFormats() {
    static const std::vector<OutputFormat> rows = {
        {"aiff", "AIFF", {"aif", "aiff"}, SF_FORMAT_AIFF, SampleTransfer::Bytes,
         pcm::ByteOrder::Big, ChannelOrder::Engine, false, kMax32BitData, kAllSamples, false,
         false, false},
        // AIFF-C: libsndfile writes float samples into AIFF as AIFF-C.
        {"aifc", "AIFF-C", {"aifc"}, SF_FORMAT_AIFF, SampleTransfer::Bytes, pcm::ByteOrder::Big,
         ChannelOrder::Engine, false, kMax32BitData, {"float"}, false, false, false},
        // The extensible format carries the channel mask.
        {"wav", "WAV", {"wav"}, SF_FORMAT_WAVEX, SampleTransfer::Bytes, pcm::ByteOrder::Little,
         ChannelOrder::Mask, true, kMax32BitData, kAllSamples, false, false, false},
        {"w64", "W64", {"w64"}, SF_FORMAT_W64, SampleTransfer::Bytes, pcm::ByteOrder::Little,
         ChannelOrder::Mask, false, 0, kAllSamples, false, false, false},
        {"rf64", "RF64", {"rf64"}, SF_FORMAT_RF64, SampleTransfer::Bytes, pcm::ByteOrder::Little,
         ChannelOrder::Mask, true, 0, kAllSamples, false, false, false},
        // Core Audio files: big-endian samples, as libsndfile writes them.
        {"caf", "CAF", {"caf"}, SF_FORMAT_CAF, SampleTransfer::Bytes, pcm::ByteOrder::Big,
         ChannelOrder::Mask, false, 0, kAllSamples, false, false, false},
        // Sun/NeXT audio: big-endian samples; written to standard output
        // as a stream as well as to files.
        {"au", "AU", {"au", "snd"}, SF_FORMAT_AU, SampleTransfer::Bytes, pcm::ByteOrder::Big,
         ChannelOrder::Mask, false, kMax32BitData, kAllSamples, false, false, false},
        {"flac", "FLAC", {"flac"}, SF_FORMAT_FLAC, SampleTransfer::ScaledInts,
         pcm::ByteOrder::Little, ChannelOrder::Mask, false, 0, {"16", "24"}, true, false, true},
        {"ogg", "Ogg Vorbis", {"ogg", "oga"}, SF_FORMAT_OGG, SampleTransfer::Floats,
         pcm::ByteOrder::Little, ChannelOrder::Mask, false, 0, {"vorbis"}, true, true, false},
        {"opus", "Ogg Opus", {"opus"}, SF_FORMAT_OGG, SampleTransfer::Floats,
         pcm::ByteOrder::Little, ChannelOrder::Mask, false, 0, {"opus"}, true, true, false,
         {8000, 12000, 16000, 24000, 48000}},
        {"mp3", "MP3", {"mp3"}, SF_FORMAT_MPEG, SampleTransfer::Floats, pcm::ByteOrder::Little,
         ChannelOrder::Mask, false, 0, {"mp3"}, true, true, false},
    };
    return rows;
}

bool OutputFormat::holdsRate(int rate) const {
    return rates.empty() || std::find(rates.begin(), rates.end(), rate) != rates.end();
}

bool OutputFormat::fits(const SampleFormat& s, int channels, std::int64_t frames) const {
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels) * s.bytes;
    return maxDataBytes == 0 || frameBytes == 0 || frames <= 0 ||
           static_cast<std::uint64_t>(frames) <= maxDataBytes / frameBytes;
}

std::string OutputFormat::tooLong() const {
    return std::string("the output would pass the 4 GB that ") + summary +
           " files can describe; use --format w64 or --format rf64";
}

bool OutputFormat::holds(const SampleFormat& s) const {
    return std::find(samples.begin(), samples.end(), s.name) != samples.end();
}

const SampleFormat& OutputFormat::firstSamples() const {
    return *findSampleFormat(samples.front());
}

const OutputFormat* findOutputFormat(const std::string& name) {
    for (const OutputFormat& f : outputFormats()) {
        if (name == f.name)
            return &f;
    }
    return nullptr;
}

const SampleFormat* findSampleFormat(const std::string& name) {
    for (const SampleFormat& s : sampleFormats()) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

std::string extensionOf(const std::string& fileName) {
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || fileName.find('/', dot) != std::string::npos)
        return std::string();
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

const OutputFormat* formatForFileName(const std::string& fileName) {
    const std::string ext = extensionOf(fileName);
    if (ext.empty())
        return nullptr;
    for (const OutputFormat& f : outputFormats()) {
        if (std::find(f.extensions.begin(), f.extensions.end(), ext) != f.extensions.end())
            return &f;
    }
    return nullptr;
}

std::string outputFormatNames(const char* separator) {
    std::string names;
    for (const OutputFormat& f : outputFormats())
        names += (names.empty() ? "" : separator) + std::string(f.name);
    return names;
}

std::string sampleFormatNames(const char* separator) {
    std::string names;
    for (const SampleFormat& s : sampleFormats()) {
        if (!s.lossy)
            names += (names.empty() ? "" : separator) + std::string(s.name);
    }
    return names;
}

}  // namespace tarvio::render
