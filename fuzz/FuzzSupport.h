// SPDX-License-Identifier: MIT
// Shared pieces of the fuzz targets: the readers take file names, so each
// input is written to a scratch file private to the fuzzing process.
#ifndef TARVIO_FUZZ_FUZZSUPPORT_H
#define TARVIO_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A path below the temporary directory that is unique to this process and
// ends with `suffix`.
std::string scratchPath(const char* suffix);

// Writes `size` bytes to `path`, replacing the file; aborts on failure so that
// a broken harness is never mistaken for a passing run.
void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzsupport

#endif  // TARVIO_FUZZ_FUZZSUPPORT_H
