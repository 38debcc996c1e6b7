// SPDX-License-Identifier: MIT

#include "engine/Speakers.h"

namespace tarvio {

namespace {

// Row k holds mask bit k, so that the table read in order is the order of
// a WAV file's channels, and no bit is named twice.
constexpr bool inMaskOrder() {
    for (std::size_t k = 0; k < kStandardSpeakerCount; ++k) {
        if (kStandardSpeakers[k].maskBit != std::uint32_t{1} << k)
            return false;
    }
    return true;
}
static_assert(inMaskOrder(), "the standard loudspeakers are listed by mask bit, one bit each");

}  // namespace

const StandardSpeaker* standardSpeaker(std::string_view label) {
    for (const StandardSpeaker& s : kStandardSpeakers) {
        if (label == s.label)
            return &s;
    }
    return nullptr;
}

}  // namespace tarvio
