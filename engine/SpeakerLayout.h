// SPDX-License-Identifier: MIT
// Loudspeaker layouts as data: which loudspeakers the output channels feed,
// where they stand, and how each file format orders and names them.
//
// Positions are given two ways, both stored:
//   azimuth: degrees, 0 = front, positive to the left (as AmbiX and SOFA
//            count them), so front left is +45 and back right -135;
//   point:   (x, y) on the unit square the sound moves in, x from left (0)
//            to right (1), y from back (0) to front (1).
// With u = 2x - 1 and v = 2y - 1 the two agree as
//   azimuth = atan2(-u, v) in degrees, and
//   (u, v)  = (-sin a, cos a) / max(|sin a|, |cos a|) for azimuth a,
// which puts a loudspeaker on the square's edge. pointAt() and azimuthAt()
// are these formulas; a layout may store its points exactly where rounding
// would miss a corner by a bit.
//
// Engine order is the order of the spatializer's output channels, and the
// order of AIFF files (which have no channel mask). WAV-family files with a
// channel mask order their channels by mask bit, lowest first.
#ifndef TARVIO_ENGINE_SPEAKERLAYOUT_H
#define TARVIO_ENGINE_SPEAKERLAYOUT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvio {

// Where a loudspeaker stands; see the top of this file.
struct SpeakerPosition {
    double azimuth;  // degrees, 0 front, positive to the left, in (-180, 180]
    double x;        // 0 left .. 1 right
    double y;        // 0 back .. 1 front
};

// One loudspeaker of a layout.
struct Speaker {
    std::string label;  // "FL", "FR", "BL", "LFE", ...
    // None for a loudspeaker with no direction (LFE): the gain laws give it
    // no signal.
    std::optional<SpeakerPosition> position;
    // Its bit in a WAV channel mask (FL = 0x1, FR = 0x2, ...), or 0 when the
    // mask has none for it.
    std::uint32_t maskBit = 0;
};

// The orders in which a file may hold the channels of a layout.
enum class ChannelOrder {
    Engine,  // the spatializer's own order; AIFF files use it
    Mask,    // by WAV channel-mask bit, lowest first; loudspeakers without a
             // bit follow in engine order
};

// A named list of loudspeakers in engine order. Checked when made: at least
// one loudspeaker, labels present and distinct, mask bits single and
// distinct, points on the unit square.
class SpeakerLayout {
  public:
    // Throws std::invalid_argument, naming the fault, when the list breaks
    // one of the rules above.
    SpeakerLayout(std::string name, std::vector<Speaker> speakers);

    const std::string& name() const { return name_; }
    int size() const { return static_cast<int>(speakers_.size()); }
    const Speaker& operator[](int channel) const { return speakers_[channel]; }
    const std::vector<Speaker>& speakers() const { return speakers_; }
    std::vector<std::string> labels() const;

    // The OR of all mask bits: the channel mask of a WAV file.
    std::uint32_t channelMask() const;

    // The engine channel at each place of a file in `order`: place k of a
    // frame in the file holds engine channel fileOrder(order)[k]. A writer
    // gathers file[k] = engine[fileOrder[k]].
    std::vector<int> fileOrder(ChannelOrder order) const;

    // The same loudspeakers (labels, positions, mask bits) in the same
    // order; the names may differ.
    bool sameSpeakers(const SpeakerLayout& other) const;

  private:
    std::string name_;
    std::vector<Speaker> speakers_;
};

// The square point of a loudspeaker at `azimuth` degrees, on the square's
// edge (see the top of this file).
SpeakerPosition pointAt(double azimuth);
// The azimuth, in degrees, of the direction of point (x, y) seen from the
// middle of the square; 0 for the middle itself.
double azimuthAt(double x, double y);

// The loudspeaker table of a help text: one row per loudspeaker, in engine
// order, with its label, azimuth, point, AIFF channel and WAV channel.
std::string speakerTable(const SpeakerLayout& layout);

namespace layouts {

// Four loudspeakers at the corners of the square, in tarvio's engine order:
// channel 1 front right (1, 1), 2 front left (0, 1), 3 back right (1, 0),
// 4 back left (0, 0). WAV order FL FR BL BR, mask 0x33.
const SpeakerLayout& quad();

}  // namespace layouts

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPEAKERLAYOUT_H
