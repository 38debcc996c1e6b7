// SPDX-License-Identifier: MIT
// Headphone output: every loudspeaker of a layout becomes a virtual source in
// its direction, heard through the head-related impulse responses (HRIRs) of
// a SOFA file, and the two ears' sums are the output.
//
// The HRIR pairs are read with libmysofa and taken at each loudspeaker's
// direction. One on the horizon is interpolated between the nearest measured
// direction and its neighbours (libmysofa's weighting by distance); one
// above or below it takes the nearest measured direction by great-circle
// distance, which must lie within kMaxHrirAngle. Only
// the measurements these directions use are resampled to the signal's rate,
// each as libmysofa resamples a whole set. A delay the
// file keeps apart from the responses (Data.Delay, in samples of the set's
// rate, scaled with the resampling) becomes leading zeros. Loudspeakers
// without a direction (LFE) are left out. One gain applies to the whole set:
// the pair straight ahead has the energy of a unit impulse on average over
// both ears, so a source in front keeps its level on white noise.
//
// An HrirSet is loaded once and serves any number of Binaural convolvers
// (a run that measures its output before writing it makes two).
#ifndef TARVIO_RENDER_BINAURAL_H
#define TARVIO_RENDER_BINAURAL_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "engine/SpeakerLayout.h"
#include "render/PartitionedConvolver.h"

namespace tarvio::render {

// The SOFA file Debian's libmysofa1 installs: the MIT KEMAR set, normal pinna.
inline constexpr const char* kDefaultSofaFile = "/usr/share/libmysofa/default.sofa";

// What a SOFA set may cost. Each is checked on the set as read, before
// anything is resampled, and a set beyond one is refused naming it.
// Finding every measurement's neighbours takes longer the more there are.
inline constexpr unsigned kMaxSofaMeasurements = 65536;
// The factor by which the HRIRs may be resampled, up or down: real sets
// (44.1 to 96 kHz) reach every rate from 8 to 768 kHz within it.
inline constexpr double kMaxSofaRateRatio = 64;
// The longest response, delay included, in frames at the signal's rate: the
// convolution's memory and work grow with it.
inline constexpr int kMaxHrirFrames = 65536;
// The farthest, in degrees of great circle, the nearest measurement may lie
// from a loudspeaker above or below the horizon: sets measured on a grid of
// 5 to 10 degrees are well within it, while a set with nothing below -40
// degrees leaves a loudspeaker at -60 uncovered.
inline constexpr double kMaxHrirAngle = 15.0;
// libmysofa resamples to no lower rate.
inline constexpr int kMinResampledRate = 8000;

// The HRIRs of every loudspeaker of one layout at one rate, the gain applied.
class HrirSet {
  public:
    // Reads `sofaFile` for `layout` at `sampleRate`. The work runs on a
    // thread of its own while the caller watches the stop signals: when one
    // comes it throws tarvio::Interrupted at once and leaves that thread to
    // finish by itself. Throws std::runtime_error("FILE: cause") when the
    // file is missing, unreadable, not a set libmysofa takes, holds values
    // that are not finite or a negative delay, or goes beyond one of the
    // limits above; std::invalid_argument for a rate below 1 or a layout
    // with no directed loudspeaker.
    static std::shared_ptr<const HrirSet> load(const std::string& sofaFile,
                                               const SpeakerLayout& layout, int sampleRate);

    const std::string& sofaFile() const { return sofaFile_; }
    int sampleRate() const { return sampleRate_; }
    // The layout's channel count.
    int channels() const { return static_cast<int>(responses_.size()); }
    // The gain applied to every HRIR, linear and in dB.
    double gain() const { return gain_; }
    double gainDb() const;
    // The longest response.
    int length() const { return length_; }
    // The HRIR (the gain applied, the delay in front) from engine channel
    // `channel` to `ear` (0 left, 1 right); empty for a loudspeaker without
    // a direction.
    const std::vector<double>& impulseResponse(int channel, int ear) const;

  private:
    using Responses = std::vector<std::vector<std::vector<double>>>;  // [channel][ear]
    HrirSet(std::string sofaFile, int sampleRate, Responses responses, double gain);

    std::string sofaFile_;
    int sampleRate_;
    Responses responses_;
    double gain_;
    int length_;
};

// Not to be shared between threads while it runs; separate objects are
// independent.
class Binaural {
  public:
    // Convolves with `hrirs`, which it shares. maxBlockFrames is the largest
    // number of frames one call of process() will bring, to which the
    // convolution's partitions are fitted (larger calls still work). Throws
    // std::invalid_argument for no set or a block size below 1.
    Binaural(std::shared_ptr<const HrirSet> hrirs, int maxBlockFrames);
    // Loads the set for this object alone (see HrirSet::load).
    Binaural(const std::string& sofaFile, const SpeakerLayout& layout, int sampleRate,
             int maxBlockFrames);

    // `speakers`: `frames` interleaved frames of layout.size() channels in
    // engine order. Writes `frames` interleaved stereo frames (left, right)
    // to `stereo`, with no delay. Allocates nothing.
    void process(const double* speakers, int frames, double* stereo);

    // The frames of output the last input frame still reaches: the longest
    // response minus one.
    int tailFrames() const { return convolver_.filterLength() - 1; }
    // Writes the tailFrames() frames that follow the input given so far when
    // silence follows, and starts over: the next process() begins a new
    // signal. Allocates nothing.
    void finish(double* stereo);

    const HrirSet& hrirs() const { return *hrirs_; }
    const std::string& sofaFile() const { return hrirs_->sofaFile(); }
    double gain() const { return hrirs_->gain(); }
    double gainDb() const { return hrirs_->gainDb(); }
    int hrirLength() const { return convolver_.filterLength(); }
    const std::vector<double>& impulseResponse(int channel, int ear) const {
        return hrirs_->impulseResponse(channel, ear);
    }
    int partitionFrames() const { return convolver_.partitionFrames(); }
    // The bytes the convolution holds; fixed at construction.
    std::size_t heldBytes() const { return convolver_.heldBytes(); }

  private:
    std::shared_ptr<const HrirSet> hrirs_;
    int stride_;
    std::vector<int> channels_;  // the engine channels that are convolved
    PartitionedConvolver convolver_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_BINAURAL_H
