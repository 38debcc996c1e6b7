// SPDX-License-Identifier: MIT

#include "render/BatchWriter.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>

#include "common/Simd.h"

namespace tarvio::render {

namespace {

// Copies `n` bytes with stores that go past the cache where the processor
// has them (16-byte aligned in the destination), plainly elsewhere.
void streamCopy(unsigned char* dst, const unsigned char* src, std::size_t n) {
#if defined(TARVIO_HAVE_SSE2)
    const std::size_t head =
        std::min(n, (16 - reinterpret_cast<std::uintptr_t>(dst) % 16) % std::size_t{16});
    std::memcpy(dst, src, head);
    std::size_t i = head;
    for (; i + 16 <= n; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    std::memcpy(dst + i, src + i, n - i);
#else
    std::memcpy(dst, src, n);
#endif
}

// Makes the streamed stores visible before a batch changes hands: they are
// not ordered with the other stores.
void streamFence() {
#if defined(TARVIO_HAVE_SSE2)
    _mm_sfence();
#endif
}

}  // namespace

BatchWriter::BatchWriter(int count, const std::function<void(Batch&)>& shape, WriteFn write)
    : write_(std::move(write)), batches_(static_cast<std::size_t>(std::max(count, 2))) {
    for (Batch& b : batches_)
        shape(b);
    current_ = &batches_[0];
    for (std::size_t i = 1; i < batches_.size(); ++i)
        free_.push_back(&batches_[i]);
    if (cpu::processors() < 2)
        return;
    // The writing thread takes no signals: a stop signal reaches the thread
    // that runs the blocks, which looks for it before each one.
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread(&BatchWriter::run, this);
    } catch (const std::system_error&) {
        // No thread to be had: the batches are written in place.
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

BatchWriter::~BatchWriter() {
    if (!threaded())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BatchWriter::append(const unsigned char* bytes, std::size_t n) {
    unsigned char* to = current_->bytes.data() + current_->used;
    if (threaded())
        streamCopy(to, bytes, n);
    else
        std::memcpy(to, bytes, n);
    current_->used += n;
}

std::string BatchWriter::submit() {
    if (!threaded()) {
        if (failure_.empty() && current_->used != 0)
            failure_ = write_(*current_);
        current_->used = 0;
        return failure_;
    }
    streamFence();
    std::unique_lock<std::mutex> lock(mutex_);
    full_.push_back(current_);
    changed_.notify_all();
    changed_.wait(lock, [this] { return !free_.empty(); });
    current_ = free_.back();
    free_.pop_back();
    current_->used = 0;
    return failure_;
}

std::string BatchWriter::finish() {
    if (!threaded())
        return submit();
    streamFence();
    std::unique_lock<std::mutex> lock(mutex_);
    if (current_->used != 0) {
        full_.push_back(current_);
        changed_.notify_all();
    } else {
        free_.push_back(current_);
    }
    changed_.wait(lock, [this] { return full_.empty() && !writing_; });
    current_ = free_.back();
    free_.pop_back();
    current_->used = 0;
    return failure_;
}

void BatchWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !full_.empty(); });
        if (stop_)
            return;
        Batch* batch = full_.front();
        full_.pop_front();
        writing_ = true;
        // After a failure the batches still go round, unwritten, so that
        // the other thread never waits for one in vain.
        const bool write = failure_.empty();
        lock.unlock();
        std::string why;
        if (write) {
            try {
                why = write_(*batch);
            } catch (const std::exception& e) {
                why = e.what();
            }
        }
        lock.lock();
        if (failure_.empty())
            failure_ = why;
        writing_ = false;
        free_.push_back(batch);
        changed_.notify_all();
    }
}

}  // namespace tarvio::render
