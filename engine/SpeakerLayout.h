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

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace tarvio {

// Where a loudspeaker stands; see the top of this file.
struct SpeakerPosition {
    double azimuth;  // degrees, 0 front, positive to the left, in (-180, 180]
    double x;        // 0 left .. 1 right
    double y;        // 0 back .. 1 front
    // Degrees above ear height (-90 below .. 90 overhead); 0 for the
    // horizontal layouts.
    double elevation = 0.0;
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

// A named list of loudspeakers in engine order. Checked when made: one to
// kMaxSpeakers loudspeakers, labels valid (see validLabel) and distinct,
// mask bits single and distinct, points on the unit square.
//
// The channels of an Ambisonic signal are a layout too: one channel per
// spherical-harmonic component in ACN order, labelled ACN0, ACN1, ..., with
// no position and no mask bit. Such a layout carries its order; a layout of
// loudspeaker feeds has order 0.
class SpeakerLayout {
  public:
    // Throws std::invalid_argument, naming the fault, when the list breaks
    // one of the rules above, or when an Ambisonic order does not match the
    // number of channels ((order + 1)^2).
    SpeakerLayout(std::string name, std::vector<Speaker> speakers, int ambisonicOrder = 0);

    const std::string& name() const { return name_; }
    // The Ambisonic order of the channels, 0 for loudspeaker feeds.
    int ambisonicOrder() const { return ambisonicOrder_; }
    int size() const { return static_cast<int>(speakers_.size()); }
    const Speaker& operator[](int channel) const { return speakers_[channel]; }
    const std::vector<Speaker>& speakers() const { return speakers_; }
    std::vector<std::string> labels() const;

    // Whether any loudspeaker with a position stands above or below ear
    // height (elevation != 0).
    bool hasHeight() const;

    // The OR of all mask bits: the channel mask of a WAV file.
    std::uint32_t channelMask() const;

    // The engine channel at each place of a file in `order`: place k of a
    // frame in the file holds engine channel fileOrder(order)[k]. A writer
    // gathers file[k] = engine[fileOrder[k]].
    std::vector<int> fileOrder(ChannelOrder order) const;

    // The same loudspeakers (labels, positions, mask bits) in the same
    // order, and the same Ambisonic order; the names may differ.
    bool sameSpeakers(const SpeakerLayout& other) const;

  private:
    std::string name_;
    std::vector<Speaker> speakers_;
    int ambisonicOrder_;
};

// The most loudspeakers (channels) of any layout: a ring, a file, or the
// channels of an Ambisonic signal.
constexpr int kMaxSpeakers = 64;

// Whether `label` may name a loudspeaker: one or more letters, digits, '-',
// '_' and '.', beginning with a letter or a digit. Labels name the columns
// of a CSV trace and the loudspeakers of a picture, so they hold nothing
// that a CSV reader splits at or quotes (',' '"'), nothing a spreadsheet
// takes for a formula (a leading '=', '+', '-' or '@'), and nothing that
// needs escaping in XML.
bool validLabel(const std::string& label);

// The square point of a loudspeaker at `azimuth` degrees, on the square's
// edge (see the top of this file).
SpeakerPosition pointAt(double azimuth);
// The azimuth, in degrees, of the direction of point (x, y) seen from the
// middle of the square; 0 for the middle itself.
double azimuthAt(double x, double y);

// The angle, in degrees, between the directions (azimuth, elevation) a and
// b; exactly 0 for the same direction.
double angleOnSphere(double azimuthA, double elevationA, double azimuthB, double elevationB);

// An azimuth in degrees brought into (-180, 180] (without a negative zero).
double normalAzimuth(double degrees);

// The loudspeaker table of a help text: one row per loudspeaker, in engine
// order, with its label, azimuth, point, AIFF channel and WAV channel; an
// elevation column after the azimuth for a layout with height.
std::string speakerTable(const SpeakerLayout& layout);

// The WAV channel-mask bit of a standard loudspeaker label (see
// engine/Speakers.h), or 0 for any other label.
std::uint32_t wavMaskBit(const std::string& label);

namespace layouts {

// Four loudspeakers at the corners of the square, in tarvio's engine order:
// channel 1 front right (1, 1), 2 front left (0, 1), 3 back right (1, 0),
// 4 back left (0, 0). WAV order FL FR BL BR, mask 0x33.
const SpeakerLayout& quad();

}  // namespace layouts

// The Ambisonic orders the engine encodes.
constexpr int kMinAmbisonicOrder = 1;
constexpr int kMaxAmbisonicOrder = 3;

// `count` loudspeakers labelled 1 .. count, evenly round the circle:
// loudspeaker 1 at azimuth `first` degrees (any finite value, brought into
// (-180, 180] before the others are placed from it), each next one
// 360 / count degrees clockwise seen from above (the azimuth decreasing).
// Named "ring:COUNT" or "ring:COUNT:FIRST"; no channel mask. Throws
// std::invalid_argument unless 2 <= count <= kMaxSpeakers and `first` is
// finite.
SpeakerLayout ringLayout(int count, double first = 0.0);

// Rings of loudspeakers one above another, given as "N1[@E1],N2[@E2],...":
// ring k has Nk loudspeakers at elevation Ek degrees (0 when left out,
// -90 .. 90), the first at azimuth 0 and each next 360 / Nk degrees
// clockwise seen from above. Labels run 1 .. total through the rings in
// order; no channel mask. Named "dome:" and the rings as given. Throws
// std::invalid_argument, naming the ring, for a malformed or empty ring,
// an elevation out of range, fewer than 3 or more than kMaxSpeakers
// loudspeakers, or two loudspeakers closer than kMinSpeakerSpacing.
SpeakerLayout domeLayout(const std::string& rings);

// The channels of an Ambisonic signal of `order` (AmbiX: ACN order, SN3D),
// named "ambisonics:ORDER". Throws std::invalid_argument unless
// kMinAmbisonicOrder <= order <= kMaxAmbisonicOrder.
SpeakerLayout ambisonicLayout(int order);

// The layout a command line names: a built-in name (see layoutNames()),
// "ring:N" or "ring:N:FIRST" (ringLayout), "dome:N1[@E1],N2[@E2],..."
// (domeLayout), or "ambisonics:ORDER"
// (ambisonicLayout). Null for a name that is none of these; throws
// std::invalid_argument, saying what is wrong, for a ring or an Ambisonic
// order whose numbers are malformed or out of range.
std::optional<SpeakerLayout> findLayout(const std::string& name);

// The names findLayout() takes, for a help text: the built-in layouts, then
// "ring:N[:FIRST]", "dome:N1[@E1],N2[@E2],..." and "ambisonics:ORDER".
std::vector<std::string> layoutNames();

// The most bytes of a layout file: far more than kMaxSpeakers lines need,
// and little enough to read whole.
constexpr std::size_t kMaxLayoutFileBytes = 64 * 1024;
// The least angle, in degrees, between two loudspeakers of a layout file.
constexpr double kMinSpeakerSpacing = 1.0;

// A layout from a text file of lines "LABEL AZIMUTH [ELEVATION]": one
// loudspeaker per line, in engine order, azimuth in degrees (0 front,
// positive to the left; any finite value, brought into (-180, 180]),
// elevation in degrees from -90 to 90 (0 when left out). '#' starts a comment; blank
// lines are skipped. A standard loudspeaker without a direction (the LFE,
// see engine/Speakers.h) is written without an azimuth and gets no signal.
// Labels are valid (see validLabel) and distinct; no two loudspeakers stand
// closer than kMinSpeakerSpacing degrees apart on the sphere; at least two
// have an azimuth and at most kMaxSpeakers lines name a loudspeaker. When
// every label is a standard one, the layout has their mask bits; otherwise
// it has no mask. The layout is named after the file.
//
// The file is read whole, at most kMaxLayoutFileBytes of it, before any
// line is looked at. A read that a signal cuts short is a failed read: it
// is not retried, so that a program that notes stop signals (without
// SA_RESTART) is not held waiting on a pipe.
//
// Throws std::runtime_error "FILE: line N: reason" for a malformed line,
// "FILE: reason" for a file that cannot be read, is too large or is short
// of loudspeakers.
SpeakerLayout loadLayoutFile(const std::string& fileName);
// The same from a stream, `name` standing for the file in messages.
SpeakerLayout parseLayout(std::istream& in, const std::string& name);

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPEAKERLAYOUT_H
