// SPDX-License-Identifier: MIT
#include "render/PartitionedConvolver.h"

#include <algorithm>
#include <stdexcept>

#include "render/RealFft.h"

namespace tarvio::render {

namespace {

using fft::Fftr;
using fft::makeFftr;
using fft::multiplyAdd;

}  // namespace

struct PartitionedConvolver::State {
    int inputs;
    int block;       // B
    int bins;        // B + 1
    int partitions;  // P
    int filterLength;
    int fill = 0;    // frames of the current block so far
    int newest = 0;  // slot of the current block's spectrum in `history`
    std::size_t fftBytes = 0;
    Fftr forward;
    Fftr inverse;
    std::vector<kiss_fft_cpx> filters;  // [input][ear][partition][bin], scaled by 1 / 2B
    std::vector<kiss_fft_cpx> history;  // [input][slot][bin]: the last P blocks' spectra
    std::vector<kiss_fft_cpx> older;    // [ear][bin]: partitions 1.. for the current block
    std::vector<kiss_fft_cpx> sum;      // [bin]
    std::vector<float> window;          // [input][2B]: the previous block, the current one
    std::vector<float> time;            // [2B]

    State(int inputCount, int blockFrames, int longest)
        : inputs(inputCount),
          block(blockFrames),
          bins(blockFrames + 1),
          partitions(std::max(1, (longest + blockFrames - 1) / blockFrames)),
          filterLength(longest),
          forward(makeFftr(2 * blockFrames, false, fftBytes)),
          inverse(makeFftr(2 * blockFrames, true, fftBytes)),
          filters(static_cast<std::size_t>(inputs) * 2 * partitions * bins),
          history(static_cast<std::size_t>(inputs) * partitions * bins),
          older(2 * static_cast<std::size_t>(bins)),
          sum(bins),
          window(static_cast<std::size_t>(inputs) * 2 * block),
          time(2 * static_cast<std::size_t>(block)) {}

    kiss_fft_cpx* filter(int input, int ear, int partition) {
        return filters.data() +
               ((static_cast<std::size_t>(input) * 2 + ear) * partitions + partition) * bins;
    }
    kiss_fft_cpx* past(int input, int slot) {
        return history.data() + (static_cast<std::size_t>(input) * partitions + slot) * bins;
    }
    float* windowOf(int input) {
        return window.data() + static_cast<std::size_t>(input) * 2 * block;
    }

    void setFilter(int input, int ear, const std::vector<double>& h);
    void transformInputs(const double* in, int stride, const int* channel, int frames);
    void writeOutputs(int frames, double* out);
    void endBlock();
    void sumOlderPartitions();
    void reset();
};

// Partition k holds h[kB, (k+1)B) in the first half of 2B points, the second
// half zero: the last B points of its circular convolution with a window of
// 2B inputs are the linear convolution. The inverse FFT's factor 2B is
// taken out here once.
void PartitionedConvolver::State::setFilter(int input, int ear, const std::vector<double>& h) {
    const double scale = 1.0 / (2.0 * block);
    const std::size_t length = h.size();
    for (int k = 0; k < partitions; ++k) {
        std::fill(time.begin(), time.end(), 0.0f);
        for (int n = 0; n < block; ++n) {
            std::size_t at = static_cast<std::size_t>(k) * block + n;
            if (at < length) {
                time[n] = static_cast<float>(h[at] * scale);
            }
        }
        kiss_fftr(forward.get(), time.data(), filter(input, ear, k));
    }
}

// The current block's frames so far and the block before: their spectrum
// replaces the current slot of `history`. What lies past the frames so far
// is stale, the last block's; the outputs up to the frames so far do not
// depend on it, and the slot's last update is of the whole block.
void PartitionedConvolver::State::transformInputs(const double* in, int stride, const int* channel,
                                                  int frames) {
    for (int i = 0; i < inputs; ++i) {
        float* current = windowOf(i) + block + fill;
        if (in == nullptr) {
            std::fill_n(current, frames, 0.0f);
        } else {
            const double* from = in + channel[i];
            for (int f = 0; f < frames; ++f) {
                current[f] = static_cast<float>(from[static_cast<std::size_t>(f) * stride]);
            }
        }
        kiss_fftr(forward.get(), windowOf(i), past(i, newest));
    }
}

void PartitionedConvolver::State::writeOutputs(int frames, double* out) {
    for (int ear = 0; ear < 2; ++ear) {
        std::copy_n(older.data() + static_cast<std::size_t>(ear) * bins, bins, sum.data());
        for (int i = 0; i < inputs; ++i) {
            multiplyAdd(past(i, newest), filter(i, ear, 0), sum.data(), bins);
        }
        kiss_fftri(inverse.get(), sum.data(), time.data());
        const float* valid = time.data() + block + fill;
        for (int f = 0; f < frames; ++f) {
            out[2 * static_cast<std::size_t>(f) + ear] = valid[f];
        }
    }
}

// The current block becomes the previous one, and the partitions past the
// first, which from now on only see finished blocks, are summed once.
void PartitionedConvolver::State::endBlock() {
    for (int i = 0; i < inputs; ++i) {
        float* w = windowOf(i);
        std::copy_n(w + block, block, w);
    }
    newest = (newest + 1) % partitions;
    fill = 0;
    sumOlderPartitions();
}

void PartitionedConvolver::State::sumOlderPartitions() {
    std::fill(older.begin(), older.end(), kiss_fft_cpx{0.0f, 0.0f});
    for (int ear = 0; ear < 2; ++ear) {
        kiss_fft_cpx* acc = older.data() + static_cast<std::size_t>(ear) * bins;
        for (int i = 0; i < inputs; ++i) {
            for (int k = 1; k < partitions; ++k) {
                multiplyAdd(past(i, (newest - k + partitions) % partitions), filter(i, ear, k), acc,
                            bins);
            }
        }
    }
}

void PartitionedConvolver::State::reset() {
    std::fill(history.begin(), history.end(), kiss_fft_cpx{0.0f, 0.0f});
    std::fill(older.begin(), older.end(), kiss_fft_cpx{0.0f, 0.0f});
    std::fill(window.begin(), window.end(), 0.0f);
    fill = 0;
    newest = 0;
}

PartitionedConvolver::PartitionedConvolver(
    const std::vector<std::vector<std::vector<double>>>& filters, int blockFrames) {
    if (filters.empty()) {
        throw std::invalid_argument("a convolver needs at least one input");
    }
    if (blockFrames < 1) {
        throw std::invalid_argument("the partition size must be at least one frame");
    }
    std::size_t longest = 0;
    for (const auto& pair : filters) {
        if (pair.size() != 2) {
            throw std::invalid_argument("every input needs a left and a right filter");
        }
        longest = std::max({longest, pair[0].size(), pair[1].size()});
    }
    state_ = std::make_unique<State>(static_cast<int>(filters.size()), blockFrames,
                                     static_cast<int>(longest));
    for (int i = 0; i < state_->inputs; ++i) {
        state_->setFilter(i, 0, filters[i][0]);
        state_->setFilter(i, 1, filters[i][1]);
    }
    state_->reset();
}

PartitionedConvolver::~PartitionedConvolver() = default;

int PartitionedConvolver::inputs() const {
    return state_->inputs;
}
int PartitionedConvolver::partitionFrames() const {
    return state_->block;
}
int PartitionedConvolver::partitions() const {
    return state_->partitions;
}
int PartitionedConvolver::filterLength() const {
    return state_->filterLength;
}

std::size_t PartitionedConvolver::heldBytes() const {
    const State& s = *state_;
    return sizeof(State) + s.fftBytes +
           (s.filters.size() + s.history.size() + s.older.size() + s.sum.size()) *
               sizeof(kiss_fft_cpx) +
           (s.window.size() + s.time.size()) * sizeof(float);
}

void PartitionedConvolver::process(const double* in, int stride, const int* channel, int frames,
                                   double* out) {
    State& s = *state_;
    while (frames > 0) {
        const int piece = std::min(frames, s.block - s.fill);
        s.transformInputs(in, stride, channel, piece);
        s.writeOutputs(piece, out);
        s.fill += piece;
        if (s.fill == s.block) {
            s.endBlock();
        }
        if (in != nullptr) {
            in += static_cast<std::size_t>(piece) * stride;
        }
        out += 2 * static_cast<std::size_t>(piece);
        frames -= piece;
    }
}

void PartitionedConvolver::reset() {
    state_->reset();
}

}  // namespace tarvio::render
