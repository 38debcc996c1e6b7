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
      tail_(2 * static_cast<std::size_t>(source_.tailFrames())) {
    const std::size_t frames = static_cast<std::size_t>(std::max(1, batchCalls)) *
                               static_cast<std::size_t>(maxBlockFrames);
    for (int slot = 0; slot < kSlots; ++slot) {
        batches_[slot] = source_.makeBatch(batchCalls);
        outputs_[slot].resize(2 * frames);
    }
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

// Batch n into its slot's output.
void BinauralPipeline::convolve(long long n) {
    const int slot = static_cast<int>(n % kSlots);
    std::fill_n(outputs_[slot].data(), 2 * static_cast<std::size_t>(outputFrames_[slot]), 0.0);
    source_.convolve(*batches_[slot], outputs_[slot].data());
}

// The thread: each batch handed over, in order, convolved into its output.
void BinauralPipeline::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || convolved_ < handed_; });
        if (stop_) {
            return;
        }
        const long long n = convolved_;
        lock.unlock();
        convolve(n);
        lock.lock();
        ++convolved_;
        done_.notify_one();
    }
}

// Until the thread has convolved the first `count` batches.
void BinauralPipeline::waitFor(long long count) {
    if (thread_.joinable()) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this, count] { return convolved_ >= count; });
    }
}

// The batch being staged goes to the thread (or is convolved here).
void BinauralPipeline::handOver() {
    const int slot = static_cast<int>(staged_ % kSlots);
    outputFrames_[slot] = BinauralSource::framesOf(*batches_[slot]);
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++handed_;
        }
        wake_.notify_one();
    } else {
        convolve(staged_);
        ++handed_;
        ++convolved_;
    }
    ++staged_;
}

// The output of the oldest batch handed over and not returned, once it is
// convolved; its slot may then be staged again.
BinauralPipeline::Output BinauralPipeline::returnOldest() {
    waitFor(returned_ + 1);
    const int slot = static_cast<int>(returned_ % kSlots);
    ++returned_;
    return {outputs_[slot].data(), outputFrames_[slot]};
}

// A call that fills the batch hands it over; the slot staged next must
// have given its output, so all slots taken give the oldest.
BinauralPipeline::Output BinauralPipeline::process(const double* mono, const double* x,
                                                   const double* y, int frames,
                                                   const double* elevation) {
    if (frames <= 0) {
        return {};
    }
    tailed_ = false;
    if (source_.stage(*batches_[staged_ % kSlots], mono, x, y, frames, elevation)) {
        return {};
    }
    handOver();
    if (staged_ - returned_ >= kSlots) {
        return returnOldest();
    }
    return {};
}

// First the batches handed over, then the one being staged, then the
// tail.
BinauralPipeline::Output BinauralPipeline::finish() {
    if (returned_ < handed_) {
        return returnOldest();
    }
    if (BinauralSource::framesOf(*batches_[staged_ % kSlots]) > 0) {
        handOver();
        return returnOldest();
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
    std::size_t bytes =
        sizeof(BinauralPipeline) + source_.heldBytes() + tail_.size() * sizeof(double);
    for (int slot = 0; slot < kSlots; ++slot) {
        bytes +=
            BinauralSource::heldBytes(*batches_[slot]) + outputs_[slot].size() * sizeof(double);
    }
    return bytes;
}

}  // namespace tarvio::render
