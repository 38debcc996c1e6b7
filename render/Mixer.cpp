// SPDX-License-Identifier: MIT

#include "render/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tarvio::render {

void MixdownMeter::add(const double* x, int samples) {
    if (channels_ < 2)
        return;
    const std::int64_t block = blocks_++;
    if (block < kEveryBlockUntil)
        measure(x, samples / channels_, 1.0);
    else if (block % kOneBlockIn == 0)
        measure(x, samples / channels_, kOneBlockIn);
}

// Two frames a step with their own sums, so that the additions of one do
// not wait for the other's.
void MixdownMeter::measure(const double* x, int frames, double weight) {
    double mix[2] = {0.0, 0.0};
    double all[2] = {0.0, 0.0};
    if (channels_ == 2) {
        int f = 0;
        for (; f + 1 < frames; f += 2) {
            const double* p = x + 2 * f;
            const double s0 = p[0] + p[1], s1 = p[2] + p[3];
            mix[0] += s0 * s0;
            mix[1] += s1 * s1;
            all[0] += p[0] * p[0] + p[1] * p[1];
            all[1] += p[2] * p[2] + p[3] * p[3];
        }
        for (; f < frames; ++f) {
            const double s = x[2 * f] + x[2 * f + 1];
            mix[0] += s * s;
            all[0] += x[2 * f] * x[2 * f] + x[2 * f + 1] * x[2 * f + 1];
        }
    } else {
        for (int f = 0; f < frames; ++f) {
            const double* p = x + static_cast<std::ptrdiff_t>(f) * channels_;
            double s = 0.0, e = 0.0;
            for (int c = 0; c < channels_; ++c) {
                s += p[c];
                e += p[c] * p[c];
            }
            mix[f & 1] += s * s;
            all[f & 1] += e;
        }
    }
    mix_ += weight * (mix[0] + mix[1]);
    all_ += weight * (all[0] + all[1]);
    frames_ += weight * frames;
}

std::optional<double> MixdownMeter::lossDb() const {
    if (channels_ < 2 || !(frames_ > 0) || !std::isfinite(all_) || !std::isfinite(mix_))
        return std::nullopt;
    const double meanPower = all_ / (channels_ * frames_);
    if (!(meanPower > 1e-12))  // -120 dBFS
        return std::nullopt;
    if (!(mix_ > 0.0))
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(channels_ * all_ / mix_);
}

SourceReader::SourceReader(AudioInput& input, int sceneRate)
    : input_(input),
      frames_(input.heldFrames()),
      sweepFrames_(input.frames()),
      meter_(input.channels()) {
    if (input.rate() != sceneRate) {
        resampler_.reset(new Resampler(
            input.channels(), input.rate(), sceneRate, input.heldFrames(),
            [this](double* samples, int capacity) { return readInput(samples, capacity); }));
        frames_ = resampler_->frames();
        sweepFrames_ = Resampler::outputFrames(input.frames(), input.rate(), sceneRate);
    }
    left_ = frames_;
}

int SourceReader::readInput(double* samples, int capacity) {
    if (input_.eof())
        return 0;
    const int n = input_.read(samples, capacity);
    meter_.add(samples, n);
    return n;
}

int SourceReader::read(double* samples, int capacity) {
    int n;
    if (silent_) {
        const std::int64_t frames = std::min<std::int64_t>(left_, capacity / channels());
        n = static_cast<int>(frames * channels());
        std::fill(samples, samples + n, 0.0);
    } else if (resampler_) {
        n = resampler_->read(samples, capacity);
    } else {
        n = readInput(samples, capacity);
    }
    left_ -= n / channels();
    return n;
}

void SourceReader::rewind() {
    if (!silent_)
        input_.rewind();
    if (resampler_)
        resampler_->restart();
    meter_.clear();
    left_ = frames_;
}

namespace {

// The positions of the frames the spatializer just made, x, y, elevation
// and distance, into four arrays from `at`.
void copyPlaces(const Spatializer& sp, int frames, std::vector<double>* to, std::size_t at) {
    const double* x = sp.positionsX();
    const double* y = sp.positionsY();
    std::copy(x, x + frames, to[0].begin() + at);
    std::copy(y, y + frames, to[1].begin() + at);
    std::copy(sp.elevations(), sp.elevations() + frames, to[2].begin() + at);
    double* d = to[3].data() + at;
    if (const double* distances = sp.distances())
        std::copy(distances, distances + frames, d);
    else
        for (int j = 0; j < frames; ++j)
            d[j] = distanceOf(x[j], y[j]);
}

}  // namespace

SourceStream::SourceStream(SourceReader& reader, std::unique_ptr<Spatializer> sp,
                           std::int64_t start, bool positions)
    : reader_(reader),
      sp_(std::move(sp)),
      start_(start),
      end_(start + reader.frames() + sp_->tailFrames()),
      channels_(sp_->outputChannels()),
      positions_(positions),
      held_(static_cast<std::size_t>(channels_) * 2 * BLOCK_SIZE) {
    for (int k = 0; k < 4 && positions_; ++k) {
        heldPlace_[k].resize(2 * BLOCK_SIZE);
        viewPlace_[k].resize(BLOCK_SIZE);
    }
    if (positions_) {
        view_.x = viewPlace_[0].data();
        view_.y = viewPlace_[1].data();
        view_.elevation = viewPlace_[2].data();
        view_.distance = viewPlace_[3].data();
    }
}

bool SourceStream::refill() {
    int n = 0;
    if (!reader_.eof()) {
        n = reader_.read(sp_->inBlock(), sp_->inBlockCapacity());
    } else {
        // The input has ended; its last sound may still be on its way.
        if (tailLeft_ < 0)
            tailLeft_ = sp_->tailFrames();
        const int frames = std::min(BLOCK_SIZE, tailLeft_);
        tailLeft_ -= frames;
        n = frames * reader_.channels();
        std::fill(sp_->inBlock(), sp_->inBlock() + n, 0.0);
    }
    if (n == 0)
        return false;
    const int frames = sp_->processBlock(n);
    const std::size_t at = static_cast<std::size_t>(heldFrames_);
    std::memcpy(held_.data() + at * channels_, sp_->outBlock(),
                sizeof(double) * static_cast<std::size_t>(frames) * channels_);
    if (positions_ && frames > 0)
        copyPlaces(*sp_, frames, heldPlace_, at);
    sp_->advanceSweeps();
    heldFrames_ += frames;
    return frames > 0;
}

void SourceStream::addInto(double* mix, std::int64_t first, int count) {
    const std::int64_t from = std::max(first, start_);
    const std::int64_t to = std::min(first + count, end_);
    view_.from = view_.to = 0;
    if (from >= to)
        return;
    const int n = static_cast<int>(to - from);
    while (heldFrames_ < n && refill()) {
    }
    // The input gave fewer frames than it announced: what came is mixed.
    const int mixed = std::min(n, heldFrames_);
    const int offset = static_cast<int>(from - first);
    double* out = mix + static_cast<std::ptrdiff_t>(offset) * channels_;
    const std::size_t samples = static_cast<std::size_t>(mixed) * channels_;
    for (std::size_t i = 0; i < samples; ++i)
        out[i] += held_[i];
    for (int k = 0; k < 4 && positions_; ++k) {
        std::vector<double>& held = heldPlace_[k];
        std::copy(held.begin(), held.begin() + mixed, viewPlace_[k].begin() + offset);
        std::copy(held.begin() + mixed, held.begin() + heldFrames_, held.begin());
    }
    std::copy(held_.begin() + static_cast<std::ptrdiff_t>(samples),
              held_.begin() + static_cast<std::ptrdiff_t>(heldFrames_) * channels_, held_.begin());
    heldFrames_ -= mixed;
    view_.from = offset;
    view_.to = offset + mixed;
    if (mixed < n)
        end_ = first + offset + mixed;
}

}  // namespace tarvio::render
