// SPDX-License-Identifier: MIT

#include "render/AudioInput.h"

#include <stdexcept>

#include "wav/WavFile.h"

namespace tarvio::render {

namespace {

// libsndfile's names of the container and the sample encoding.
std::string formatDescription(int format) {
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO minor{};
    minor.format = format & SF_FORMAT_SUBMASK;
    std::string text = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0
                           ? major.name
                           : "unknown container";
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof minor) == 0)
        text += std::string(", ") + minor.name;
    return text;
}

}  // namespace

AudioInput::AudioInput(const std::string& path) : path_(path) {
    // The project's reader first: it takes exactly the 16-bit PCM WAV files
    // tarvio takes, with their quirks (cut data, odd pad bytes, block
    // alignments that do not match), and reads them the same way.
    try {
        auto wav = std::make_unique<WavInFile>(path.c_str());
        if (wav->getNumBits() == 16 && wav->getNumChannels() >= 1) {
            wav_ = std::move(wav);
            channels_ = wav_->getNumChannels();
            rate_ = static_cast<int>(wav_->getSampleRate());
            frames_ = wav_->getNumSamples();
            description_ = "WAV (Microsoft), Signed 16 bit PCM";
            return;
        }
    } catch (const std::exception&) {
        // not a WAV file the project reads: libsndfile may
    }
    openWithLibsndfile();
}

void AudioInput::openWithLibsndfile() {
    SF_INFO info{};
    sf_ = sf_open(path_.c_str(), SFM_READ, &info);
    if (!sf_)
        throw std::runtime_error(path_ + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(sf_);
        sf_ = nullptr;
        throw std::runtime_error(path_ + ": no channels or no sample rate");
    }
    channels_ = info.channels;
    rate_ = info.samplerate;
    frames_ = info.frames;
    description_ = formatDescription(info.format);
    sfEnded_ = info.frames == 0;
}

AudioInput::~AudioInput() {
    if (sf_)
        sf_close(sf_);
}

int AudioInput::read(double* buffer, int samples) {
    if (wav_) {
        const int n = wav_->read(buffer, samples);
        if (wav_->hasReadError())
            throw std::runtime_error(path_ + ": read error");
        return n;
    }
    // Whole frames only: libsndfile counts samples but reads frames.
    const sf_count_t wanted = samples - samples % channels_;
    const sf_count_t n = sf_read_double(sf_, buffer, wanted);
    if (n < wanted) {
        if (sf_error(sf_) != SF_ERR_NO_ERROR)
            throw std::runtime_error(path_ + ": read error: " + sf_strerror(sf_));
        sfEnded_ = true;
    }
    return static_cast<int>(n);
}

bool AudioInput::eof() const {
    return wav_ ? wav_->eof() != 0 : sfEnded_;
}

}  // namespace tarvio::render
