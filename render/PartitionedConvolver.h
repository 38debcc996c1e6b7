// SPDX-License-Identifier: MIT
// Many inputs, two outputs, one FIR filter from every input to every output:
// uniformly partitioned overlap-save convolution with KissFFT's real FFT.
//
// The filters are cut into partitions of B samples; each output block of B
// samples is the sum over partitions k of the spectrum of the input blocks
// j-1 and j (an FFT of 2B samples) k blocks ago times partition k's
// spectrum, transformed back, of which the second half is kept. The
// contributions of partitions 1.. are fixed once a block begins and are
// summed then; partition 0 is applied to the block as far as it is filled.
// So a call may bring any number of frames and gets its output at once, with
// no delay: a block that arrives in pieces costs one extra FFT per input and
// two inverse FFTs per piece.
//
// Every buffer is made by the constructor; process() allocates nothing and
// the memory does not depend on how long the signal is.
#ifndef TARVIO_RENDER_PARTITIONEDCONVOLVER_H
#define TARVIO_RENDER_PARTITIONEDCONVOLVER_H

#include <cstddef>
#include <memory>
#include <vector>

namespace tarvio::render {

class PartitionedConvolver {
  public:
    // filters[i][ear]: the impulse response from input i to output ear (0
    // left, 1 right); lengths may differ. blockFrames is the partition size
    // B, normally the largest number of frames one call brings (any number
    // works). Throws std::invalid_argument for no inputs or B < 1.
    PartitionedConvolver(const std::vector<std::vector<std::vector<double>>>& filters,
                         int blockFrames);
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    int inputs() const;
    // The partition size B.
    int partitionFrames() const;
    int partitions() const;
    // The length of the longest filter.
    int filterLength() const;
    // The bytes of the buffers it holds (filter spectra, past input spectra,
    // work space); fixed at construction.
    std::size_t heldBytes() const;

    // Convolves `frames` frames. Input i's sample of frame f is
    // in[f * stride + channel[i]]; a null `in` means silence. Writes the two
    // outputs interleaved: out[2f] left, out[2f + 1] right.
    void process(const double* in, int stride, const int* channel, int frames, double* out);
    // Forgets the signal so far: the state of silence since ever.
    void reset();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_PARTITIONEDCONVOLVER_H
