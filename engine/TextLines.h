// SPDX-License-Identifier: MIT
// Reading the engine's small text files (breakpoint paths, loudspeaker
// layouts) line by line: fields split at blanks, '#' comments, numbers read
// the same in every locale, and messages that name the file and the line.
#ifndef TARVIO_ENGINE_TEXTLINES_H
#define TARVIO_ENGINE_TEXTLINES_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvio {
namespace text {

// "NAME: line LINE: REASON".
std::runtime_error lineError(const std::string& name, long line, const std::string& reason);

// A field as a message shows it, in quotes: bytes that would not show (a
// byte-order mark, a carriage return, any control or non-ASCII byte) are
// written as escapes such as \xef\xbb\xbf and \r.
std::string quoted(const std::string& field);

// The fields of a line, after removing a trailing carriage return and a
// comment.
std::vector<std::string> fields(std::string line);

// A whole field as a finite number, read in the "C" locale; none when the
// field is anything else.
std::optional<double> finiteNumber(const std::string& field);

// A whole field as a finite number, read in the "C" locale; a lineError
// otherwise.
double number(const std::string& field, const std::string& name, long line);

}  // namespace text
}  // namespace tarvio

#endif  // TARVIO_ENGINE_TEXTLINES_H
