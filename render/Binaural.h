// SPDX-License-Identifier: MIT
// Headphone output: every loudspeaker of a layout becomes a virtual source in
// its direction, heard through the head-related impulse responses (HRIRs) of
// a SOFA file, and the two ears' sums are the output.
//
// The HRIR pairs are read with libmysofa, resampled by it to the signal's
// rate, and taken at each loudspeaker's azimuth at ear height (interpolated
// between measured directions where the set has none). Loudspeakers without
// a direction (LFE) are left out. One gain applies to the whole set: the
// pair straight ahead has the energy of a unit impulse on average over both
// ears, so a source in front keeps its level on white noise.
#ifndef TARVIO_RENDER_BINAURAL_H
#define TARVIO_RENDER_BINAURAL_H

#include <cstddef>
#include <string>
#include <vector>

#include "engine/SpeakerLayout.h"
#include "render/PartitionedConvolver.h"

namespace tarvio::render {

// The SOFA file Debian's libmysofa1 installs: the MIT KEMAR set, normal pinna.
inline constexpr const char* kDefaultSofaFile = "/usr/share/libmysofa/default.sofa";

// Not to be shared between threads while it runs; separate objects are
// independent (their construction takes turns in libmysofa).
class Binaural {
  public:
    // Loads `sofaFile` for `layout` at `sampleRate`. maxBlockFrames is the
    // largest number of frames one call of process() will bring, to which
    // the convolution's partitions are fitted (larger calls still work).
    // Throws std::runtime_error("FILE: cause") when the file is missing,
    // unreadable or not a set libmysofa takes, and std::invalid_argument for
    // a rate or block size below 1 or a layout with no directed loudspeaker.
    Binaural(const std::string& sofaFile, const SpeakerLayout& layout, int sampleRate,
             int maxBlockFrames);

    // `speakers`: `frames` interleaved frames of layout.size() channels in
    // engine order. Writes `frames` interleaved stereo frames (left, right)
    // to `stereo`, with no delay. Allocates nothing.
    void process(const double* speakers, int frames, double* stereo);

    // The frames of output the last input frame still reaches: the HRIR
    // length minus one.
    int tailFrames() const { return convolver_.filterLength() - 1; }
    // Writes the tailFrames() frames that follow the input given so far when
    // silence follows, and starts over: the next process() begins a new
    // signal. Allocates nothing.
    void finish(double* stereo);

    const std::string& sofaFile() const { return sofaFile_; }
    // The gain applied to every HRIR, linear and in dB.
    double gain() const { return gain_; }
    double gainDb() const;
    int hrirLength() const { return convolver_.filterLength(); }
    // The HRIR (the gain applied, any delay the file gives in front) from
    // engine channel `channel` to `ear` (0 left, 1 right); empty for a
    // loudspeaker without a direction.
    const std::vector<double>& impulseResponse(int channel, int ear) const;
    int partitionFrames() const { return convolver_.partitionFrames(); }
    // The bytes the convolution holds; fixed at construction.
    std::size_t heldBytes() const { return convolver_.heldBytes(); }

  private:
    // The HRIRs of every engine channel, [channel][ear], the gain applied.
    struct Loaded {
        std::vector<std::vector<std::vector<double>>> responses;
        double gain;
    };
    static Loaded load(const std::string& sofaFile, const SpeakerLayout& layout, int sampleRate,
                       int maxBlockFrames);
    Binaural(const std::string& sofaFile, const SpeakerLayout& layout, Loaded loaded,
             int maxBlockFrames);

    std::string sofaFile_;
    int stride_;
    double gain_;
    std::vector<std::vector<std::vector<double>>> responses_;  // [channel][ear]
    std::vector<int> channels_;  // the engine channels that are convolved
    PartitionedConvolver convolver_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_BINAURAL_H
