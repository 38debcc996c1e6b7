// SPDX-License-Identifier: MIT
// The standard loudspeakers: every loudspeaker a WAV channel mask can name,
// with its label, its bit and the direction it is placed in by convention.
// Layouts take their mask bits from here, layout files their standard
// labels, and the writers of files their channel names (by mask bit).
//
// Directions are in degrees: azimuth 0 front, positive to the left, in
// (-180, 180] (as SpeakerPosition counts it); elevation 0 at ear height,
// positive up. They follow the common placement of 7.1.4 rigs (ITU-R
// BS.2051): surrounds at +-90, backs at +-135, the upper layer at 45
// degrees of elevation, the top centre overhead. The loudspeakers between
// the front and the centre stand half way, at +-15. The LFE has no
// direction. Layouts place their loudspeakers themselves (the back pair of
// 5.1 stands at +-110): the directions here are what a loudspeaker is
// called for, not where every layout puts it.
#ifndef TARVIO_ENGINE_SPEAKERS_H
#define TARVIO_ENGINE_SPEAKERS_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace tarvio {

// The direction of a standard loudspeaker, in degrees (see above).
struct SpeakerDirection {
    double azimuth;
    double elevation;
};

struct StandardSpeaker {
    const char* label;      // as layouts and layout files name it: "FL", "TFL", ...
    std::uint32_t maskBit;  // its bit in a WAV channel mask
    // None for a loudspeaker that has no direction (the LFE): it gets no
    // signal.
    std::optional<SpeakerDirection> direction;
};

// In the order of their mask bits, lowest first: row k has bit 1 << k.
inline constexpr StandardSpeaker kStandardSpeakers[] = {
    {"FL", 0x1, SpeakerDirection{30, 0}},          // front left
    {"FR", 0x2, SpeakerDirection{-30, 0}},         // front right
    {"FC", 0x4, SpeakerDirection{0, 0}},           // front centre
    {"LFE", 0x8, std::nullopt},                    // low-frequency effects
    {"BL", 0x10, SpeakerDirection{135, 0}},        // back left
    {"BR", 0x20, SpeakerDirection{-135, 0}},       // back right
    {"FLC", 0x40, SpeakerDirection{15, 0}},        // front left of centre
    {"FRC", 0x80, SpeakerDirection{-15, 0}},       // front right of centre
    {"BC", 0x100, SpeakerDirection{180, 0}},       // back centre
    {"SL", 0x200, SpeakerDirection{90, 0}},        // side left
    {"SR", 0x400, SpeakerDirection{-90, 0}},       // side right
    {"TC", 0x800, SpeakerDirection{0, 90}},        // top centre
    {"TFL", 0x1000, SpeakerDirection{45, 45}},     // top front left
    {"TFC", 0x2000, SpeakerDirection{0, 45}},      // top front centre
    {"TFR", 0x4000, SpeakerDirection{-45, 45}},    // top front right
    {"TBL", 0x8000, SpeakerDirection{135, 45}},    // top back left
    {"TBC", 0x10000, SpeakerDirection{180, 45}},   // top back centre
    {"TBR", 0x20000, SpeakerDirection{-135, 45}},  // top back right
};

constexpr std::size_t kStandardSpeakerCount = std::size(kStandardSpeakers);

// The standard loudspeaker of that label (labels are case-sensitive), or
// null for any other label.
const StandardSpeaker* standardSpeaker(std::string_view label);

}  // namespace tarvio

#endif  // TARVIO_ENGINE_SPEAKERS_H
