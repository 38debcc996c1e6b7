// SPDX-License-Identifier: MIT

#include "render/Resampler.h"

#include <soxr.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tarvio::render {

namespace {

// Input frames read at once: a block, as the spatializer reads, so that the
// buffers of an input of many channels take no more room than its own.
constexpr std::size_t kInputFrames = 1024;

void deleteSoxr(soxr* s) {
    soxr_delete(s);
}

}  // namespace

std::int64_t Resampler::outputFrames(std::int64_t frames, int inRate, int outRate) {
    // In two parts, so that nothing overflows: whole seconds of input and
    // the frames left over, each product below 2^63.
    const std::int64_t seconds = frames / inRate;
    const std::int64_t rest = frames % inRate;
    return seconds * outRate + (rest * outRate + inRate - 1) / inRate;
}

Resampler::Resampler(int channels, int inRate, int outRate, std::int64_t frames, Pull pull)
    : channels_(channels),
      frames_(outputFrames(frames, inRate, outRate)),
      left_(frames_),
      pull_(std::move(pull)),
      soxr_(nullptr, &deleteSoxr),
      in_(kInputFrames * static_cast<std::size_t>(channels)) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_.reset(soxr_create(inRate, outRate, static_cast<unsigned>(channels), &error, &io, &quality,
                            &runtime));
    if (!soxr_ || error)
        throw std::runtime_error("libsoxr cannot resample " + std::to_string(inRate) + " Hz to " +
                                 std::to_string(outRate) +
                                 " Hz: " + (error ? error : "no resampler"));
}

Resampler::~Resampler() = default;

int Resampler::read(double* samples, int capacity) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(capacity / channels_, left_));
    std::size_t done = 0;
    while (done < wanted) {
        const std::size_t got = produce(samples + done * channels_, wanted - done);
        if (got == 0 && drained_) {
            // The filter's last frames fell short of the length: silence.
            std::fill(samples + done * channels_, samples + wanted * channels_, 0.0);
            done = wanted;
        }
        done += got;
    }
    left_ -= static_cast<std::int64_t>(done);
    return static_cast<int>(done * channels_);
}

std::size_t Resampler::produce(double* out, std::size_t frames) {
    if (inHeld_ == 0 && !inputEnded_) {
        const int n = pull_(in_.data(), static_cast<int>(in_.size()));
        inAt_ = 0;
        inHeld_ = static_cast<std::size_t>(n / channels_);
        inputEnded_ = n <= 0;
    }
    std::size_t taken = 0, made = 0;
    soxr_error_t error;
    if (inHeld_ > 0) {
        error = soxr_process(soxr_.get(), in_.data() + inAt_ * channels_, inHeld_, &taken, out,
                             frames, &made);
        inAt_ += taken;
        inHeld_ -= taken;
    } else {
        // No more input: what the filter still holds.
        error = soxr_process(soxr_.get(), nullptr, 0, nullptr, out, frames, &made);
        drained_ = made == 0;
    }
    if (error)
        throw std::runtime_error(std::string("libsoxr: ") + error);
    return made;
}

void Resampler::restart() {
    soxr_clear(soxr_.get());
    left_ = frames_;
    inAt_ = inHeld_ = 0;
    inputEnded_ = drained_ = false;
}

}  // namespace tarvio::render
