// SPDX-License-Identifier: MIT
// The input file of the WAV and the AIFF reader: a buffered stream with
// 64-bit positions that reads chunk heads in either byte order, skips only
// forward (by reading when the stream cannot seek, as on a pipe) and knows
// the pad-byte rule of both containers.
#ifndef TARVIO_COMMON_CHUNKREADER_H
#define TARVIO_COMMON_CHUNKREADER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/Chunk.h"

namespace tarvio {
namespace chunk {

// How reading a chunk head ended: whole, or which of its two fields the file
// ended in (or failed in).
enum class HeadRead { ok, noId, noSize };

// How a forward skip ended. `pastEnd`: the target lies beyond the end of the
// file (the position is then the target, or the end on a stream that cannot
// seek, and the next read finds nothing). `failed`: a seek or read error.
enum class Skip { done, pastEnd, failed };

class Reader {
  public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens `name` for reading; false when that fails. The stream buffer is
    // allocated before the file is opened, so a failed allocation (thrown as
    // std::bad_alloc) leaves no open file behind.
    bool open(const char* name);
    bool isOpen() const { return file != nullptr; }
    // Whether the open file can seek (its size is known, see measureSize):
    // only then do large reads go straight to the file.
    bool canSeek() const { return file != nullptr && size >= 0; }
    // Closes the file; a second call does nothing.
    void close();

    // Reads up to `n` bytes and returns how many it read; fewer means the
    // end of the file or an error (see readError), none when no file is open.
    // A read larger than the stream's buffer from a file that can seek goes
    // straight from the file into `dst` (see readDirect).
    std::size_t read(unsigned char* dst, std::size_t n) {
        if (n > kDirectAbove && size >= 0)
            return readDirect(dst, n);
        if (aheadLen == 0 && file != nullptr)
            return std::fread(dst, 1, n, file);
        return readAfterLookahead(dst, n);
    }
    // True when a read failed for a reason other than the end of the file.
    bool readError() const { return file != nullptr && (directError || std::ferror(file) != 0); }
    // True when a read has met the end of the file.
    bool atEnd() const { return file != nullptr && (directEnd || std::feof(file) != 0); }

    // Reads larger than this many bytes bypass the stream's buffer.
    static constexpr std::size_t kDirectAbove = std::size_t{1} << 16;

    // Finds the size of the file, which bounds every skip; a stream that
    // cannot tell (a pipe) leaves it unknown. False only when the stream
    // cannot return to where it stood.
    bool measureSize();
    // The position of the next byte read; -1 when the stream cannot tell.
    std::int64_t tell() const;
    // Moves to `pos` from the start and drops everything buffered, so what
    // follows is read from the file as it is now. Clears the error and end
    // flags; false when the stream cannot seek there.
    bool seek(std::int64_t pos);

    // Reads a chunk head: id, then the size in the given byte order.
    HeadRead readHead(ByteOrder order, Header& head);
    // Moves `count` bytes forward: by seeking within the known size, else by
    // reading.
    Skip skip(std::uint64_t count);
    // After a body of odd size: skips the pad byte if there is one (see
    // ChunkReader.cpp for the rule).
    void skipPad();
    // Skips the `count` bytes left of a body and then, when `pad`, its pad
    // byte.
    Skip skipRest(std::uint64_t count, bool pad);

  private:
    std::size_t readAfterLookahead(unsigned char* dst, std::size_t n);
    std::size_t readDirect(unsigned char* dst, std::size_t n);
    // Forgets the first `n` bytes read ahead.
    void dropAhead(std::size_t n);

    std::FILE* file = nullptr;
    std::int64_t size = -1;  // -1 when the stream cannot tell
    // Bytes read past a pad byte while deciding whether it is one; they
    // come first in the next read.
    unsigned char ahead[5] = {};
    std::size_t aheadLen = 0;
    std::vector<char> streamBuffer;
    // The end of the file and a failed read as readDirect met them; they
    // count as the stream's own flags do, and go where those go.
    bool directEnd = false;
    bool directError = false;
};

}  // namespace chunk
}  // namespace tarvio

#endif  // TARVIO_COMMON_CHUNKREADER_H
