// SPDX-License-Identifier: MIT
#include "render/BinauralPipeline.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "cli/Interrupt.h"
#include "common/Cpu.h"

namespace tarvio::render {

BinauralPipeline::BinauralPipeline(std::shared_ptr<const HrirSet> hrirs, const Panner& panner,
                                   int maxBlockFrames, int batchCalls, bool threaded)
    : source_(std::move(hrirs), panner, maxBlockFrames),
      batches_{source_.makeBatch(batchCalls), source_.makeBatch(batchCalls)},
      tail_(2 * static_cast<std::size_t>(source_.tailFrames())) {
    const std::size_t frames = static_cast<std::size_t>(std::max(1, batchCalls)) *
                               static_cast<std::size_t>(maxBlockFrames);
    outputs_[0].resize(2 * frames);
    outputs_[1].resize(2 * frames);
    if (!threaded || cpu::processors() < 2) {
        return;
    }
    // The thread takes no stop signals: they reach the thread that runs
    // the blocks, which looks for them before each one.
    interrupt::Hold hold;
    try {
        thread_ = std::thread(&BinauralPipeline::run, this);
    } catch (const std::system_error&) {
        // No thread to be had: the caller's does the work.
    }
}

BinauralPipeline::~BinauralPipeline() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

// The thread: each batch handed over, convolved into its output.
void BinauralPipeline::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || work_ != nullptr; });
        if (stop_) {
            return;
        }
        BinauralSource::Batch& batch = *work_;
        double* stereo = workOutput_;
        lock.unlock();
        std::fill_n(stereo, 2 * static_cast<std::size_t>(BinauralSource::framesOf(batch)), 0.0);
        source_.convolve(batch, stereo);
        lock.lock();
        work_ = nullptr;
        done_.notify_one();
    }
}

// Until the thread has convolved the batch it was given.
void BinauralPipeline::wait() {
    if (thread_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return work_ == nullptr; });
    }
}

// The batch being staged goes to the thread (or is convolved here), once
// the one before is done; returns the output of the one before.
BinauralPipeline::Output BinauralPipeline::handOver() {
    wait();
    Output before;
    if (given_ >= 0) {
        before = {outputs_[given_].data(), givenFrames_};
    }
    BinauralSource::Batch& batch = *batches_[slot_];
    double* stereo = outputs_[slot_].data();
    given_ = slot_;
    givenFrames_ = BinauralSource::framesOf(batch);
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            work_ = &batch;
            workOutput_ = stereo;
        }
        wake_.notify_one();
    } else {
        std::fill_n(stereo, 2 * static_cast<std::size_t>(givenFrames_), 0.0);
        source_.convolve(batch, stereo);
    }
    slot_ = 1 - slot_;
    return before;
}

BinauralPipeline::Output BinauralPipeline::process(const double* mono, const double* x,
                                                   const double* y, int frames,
                                                   const double* elevation) {
    if (frames <= 0) {
        return {};
    }
    tailed_ = false;
    if (source_.stage(*batches_[slot_], mono, x, y, frames, elevation)) {
        return {};
    }
    return handOver();
}

// First the batch the thread has, then the one being staged, then the
// tail.
BinauralPipeline::Output BinauralPipeline::finish() {
    wait();
    if (given_ >= 0) {
        const Output out{outputs_[given_].data(), givenFrames_};
        given_ = -1;
        return out;
    }
    if (BinauralSource::framesOf(*batches_[slot_]) > 0) {
        handOver();
        wait();
        return finish();
    }
    if (tailed_) {
        return {};
    }
    tailed_ = true;
    std::fill(tail_.begin(), tail_.end(), 0.0);
    source_.finish(tail_.data());
    return {tail_.data(), source_.tailFrames()};
}

std::size_t BinauralPipeline::heldBytes() const {
    return sizeof(BinauralPipeline) + source_.heldBytes() +
           BinauralSource::heldBytes(*batches_[0]) + BinauralSource::heldBytes(*batches_[1]) +
           (outputs_[0].size() + outputs_[1].size() + tail_.size()) * sizeof(double);
}

}  // namespace tarvio::render
