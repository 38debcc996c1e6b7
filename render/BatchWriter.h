// SPDX-License-Identifier: MIT
// Encoded samples handed to a second thread in batches: while that thread
// gives one batch to the library that writes the file (and, for FLAC,
// compresses it), the first one spatializes and encodes the next. A few
// batches are allocated once and go round; nothing is allocated per batch.
//
// On a machine (or an affinity mask) with a single processor the batches
// are written in place, on the caller's thread, in the same order.
#ifndef TARVIO_RENDER_BATCHWRITER_H
#define TARVIO_RENDER_BATCHWRITER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvio::render {

// One batch: room for samples in the one form the output hands over (file
// bytes, 32-bit integers or floats) and how much of it is filled.
struct Batch {
    std::vector<unsigned char> bytes;
    std::vector<std::int32_t> ints;
    std::vector<float> floats;
    std::size_t used = 0;  // bytes, or samples of ints or floats
};

class BatchWriter {
  public:
    // Writes a full batch; returns an empty string, or why it failed.
    using WriteFn = std::function<std::string(const Batch&)>;

    // `count` batches (at least 2), each sized by `shape` before any is
    // used; `write` is called with every batch handed over, in order, on
    // the writing thread.
    BatchWriter(int count, const std::function<void(Batch&)>& shape, WriteFn write);
    // Stops the writing thread; batches not yet written are dropped (a run
    // that ends this way failed anyway).
    ~BatchWriter();
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    // The batch being filled, on the caller's thread.
    Batch& current() { return *current_; }
    // Appends `n` bytes to current()'s bytes (which must have room for
    // them). With a writing thread they bypass this processor's cache: the
    // next to read them is the other processor, and fetching the batch's
    // lines here first only to hand them over costs more than the copy.
    void append(const unsigned char* bytes, std::size_t n);
    // Hands current() over and makes an empty batch current, waiting for one
    // to be free. Returns why an earlier write failed, or an empty string;
    // after a failure nothing more is written.
    std::string submit();
    // Hands over what current() holds and waits until everything handed over
    // was written; returns the first failure, or an empty string.
    std::string finish();
    // Whether a second thread writes.
    bool threaded() const { return thread_.joinable(); }

  private:
    void run();

    WriteFn write_;
    std::vector<Batch> batches_;
    Batch* current_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Batch*> full_;   // handed over, oldest first
    std::vector<Batch*> free_;  // written, ready to be filled again
    bool writing_ = false;      // the thread holds a batch it took from full_
    bool stop_ = false;         // no more batches will come
    std::string failure_;       // the first write that failed
    std::thread thread_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_BATCHWRITER_H
