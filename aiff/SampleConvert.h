// SPDX-License-Identifier: MIT
// Kept for tarvio-render's output until it calls pcm directly: the names it
// uses, forwarded onto pcm/Pcm.h. Converters here encode big-endian with
// halves away from zero, as the AIFF writer does.
#ifndef TARVIO_AIFF_SAMPLECONVERT_H
#define TARVIO_AIFF_SAMPLECONVERT_H

#include "pcm/Pcm.h"

namespace tarvio {
namespace aiff {

using Depth = pcm::Depth;

template <typename T>
using Converter = pcm::Encoder<T>;

// The big-endian encoder of samples of type T to `depth`.
template <typename T>
Converter<T> pickConverter(const Depth& depth) {
    return pcm::pickEncoder<T>(depth, pcm::ByteOrder::Big);
}

}  // namespace aiff
}  // namespace tarvio

#endif  // TARVIO_AIFF_SAMPLECONVERT_H
