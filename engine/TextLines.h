// SPDX-License-Identifier: MIT
// Reading the engine's small text files (breakpoint paths, loudspeaker
// layouts): whole and bounded in size, then line by line, with fields split
// at blanks, '#' comments, numbers read the same in every locale, and
// messages that name the file and the line.
#ifndef TARVIO_ENGINE_TEXTLINES_H
#define TARVIO_ENGINE_TEXTLINES_H

#include <cstddef>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvio {
namespace text {

// The whole of a stream, when it holds at most `maxBytes` bytes; `name`
// stands for it in messages and `what` says what it is ("a layout file").
// Throws std::runtime_error "NAME: larger than MAX bytes, the most WHAT may
// hold", or "NAME: cannot read" when the stream fails.
std::string readAll(std::istream& in, std::size_t maxBytes, const std::string& name,
                    const std::string& what);

// The whole of file `fileName`, as readAll. A regular file larger than
// `maxBytes` is refused before it is read, anything else (a pipe, a device)
// after at most maxBytes + 1 bytes. A read or an open that a signal cuts
// short (EINTR) fails and is not retried, so that a program whose stop
// signals interrupt system calls gets back to its own checks instead of
// waiting on a pipe. Throws std::runtime_error "FILE: cannot open: ...",
// "FILE: cannot read: ..." or the readAll message.
std::string readFile(const std::string& fileName, std::size_t maxBytes, const std::string& what);

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
