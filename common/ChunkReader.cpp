// SPDX-License-Identifier: MIT
// The chunk reader's file I/O: a C stream with a large buffer, moved with
// fseeko/ftello so that positions beyond 4 GiB work on every host.

// Large-file offsets for fseeko/ftello also on 32-bit hosts; must come before
// the first system header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "common/ChunkReader.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/byteorder.h"

static_assert(sizeof(off_t) >= 8, "file positions must reach beyond 4 GiB");

namespace tarvio {
namespace chunk {

namespace {

// The stream's buffer. Samples are read a block at a time; a buffer of many
// blocks saves most of the system calls that the default size would make.
constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 16;

// A stream that cannot seek is skipped by reading pieces of this size.
constexpr std::size_t kSkipPieceBytes = 4096;

}  // namespace

Reader::~Reader() {
    close();
}

bool Reader::open(const char* name) {
    close();
    // The buffer is the object's own (given none, the stream keeps its
    // default size); it outlives the stream, which is closed before the
    // members go.
    streamBuffer.resize(kStreamBufferBytes);
    size = -1;
    file = std::fopen(name, "rb");
    if (!file)
        return false;
    std::setvbuf(file, streamBuffer.data(), _IOFBF, streamBuffer.size());
    return true;
}

void Reader::close() {
    aheadLen = 0;
    directEnd = false;
    directError = false;
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
}

bool Reader::measureSize() {
    size = -1;
    const off_t start = ftello(file);
    if (start >= 0 && fseeko(file, 0, SEEK_END) == 0) {
        const off_t end = ftello(file);
        if (fseeko(file, start, SEEK_SET) != 0)
            return false;
        if (end >= 0)
            size = end;
    }
    return true;
}

std::int64_t Reader::tell() const {
    const off_t pos = file ? ftello(file) : -1;
    if (pos < 0)
        return -1;
    return static_cast<std::int64_t>(pos) - static_cast<std::int64_t>(aheadLen);
}

bool Reader::seek(std::int64_t pos) {
    aheadLen = 0;
    directEnd = false;
    directError = false;
    if (!file || pos < 0)
        return false;
    std::clearerr(file);
    // Drop what the stream has buffered: a seek that lands inside the buffer
    // would otherwise serve the old bytes.
    std::fflush(file);
    return fseeko(file, static_cast<off_t>(pos), SEEK_SET) == 0;
}

HeadRead Reader::readHead(ByteOrder order, Header& head) {
    unsigned char b[4];
    if (read(b, 4) != 4)
        return HeadRead::noId;
    std::memcpy(head.id, b, 4);
    if (read(b, 4) != 4)
        return HeadRead::noSize;
    head.size = order == ByteOrder::big ? bytes::getU32BE(b) : bytes::getU32LE(b);
    head.pad = (head.size & 1u) != 0;
    return HeadRead::ok;
}

Skip Reader::skip(std::uint64_t count) {
    // Bytes read ahead are the first ones skipped.
    const std::size_t early = static_cast<std::size_t>(std::min<std::uint64_t>(count, aheadLen));
    dropAhead(early);
    count -= early;
    if (count == 0)
        return Skip::done;
    if (size >= 0) {
        const off_t pos = ftello(file);
        if (pos < 0)
            return Skip::failed;
        // In 64 bits a 32-bit size can never wrap the target around.
        const std::uint64_t target = static_cast<std::uint64_t>(pos) + count;
        if (fseeko(file, static_cast<off_t>(target), SEEK_SET) != 0)
            return Skip::failed;
        return target > static_cast<std::uint64_t>(size) ? Skip::pastEnd : Skip::done;
    }
    unsigned char scratch[kSkipPieceBytes];
    while (count > 0) {
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof scratch));
        if (std::fread(scratch, 1, step, file) != step)
            return std::ferror(file) ? Skip::failed : Skip::pastEnd;
        count -= step;
    }
    return Skip::done;
}

// RIFF and IFF pad a body of odd size with one byte, meant to be zero.
// Writers that leave the pad out start the next chunk id right away; others
// fill it with a space or another byte. A zero byte is always a pad byte. Any
// other byte is one when the four bytes after it form a chunk id and the four
// bytes at it do not; otherwise it starts the next id. Five bytes are read
// ahead to decide, which works on a pipe as well; those not consumed as the
// pad come first in the next read.
void Reader::skipPad() {
    if (file && aheadLen < sizeof ahead)
        aheadLen += std::fread(ahead + aheadLen, 1, sizeof ahead - aheadLen, file);
    if (aheadLen == 0)
        return;
    const bool pad = ahead[0] == 0 || (aheadLen == 5 && isChunkId(ahead + 1) && !isChunkId(ahead));
    if (pad)
        dropAhead(1);
}

Skip Reader::skipRest(std::uint64_t count, bool pad) {
    const Skip result = skip(count);
    if (result != Skip::failed && pad)
        skipPad();
    return result;
}

std::size_t Reader::readAfterLookahead(unsigned char* dst, std::size_t n) {
    const std::size_t early = std::min(n, aheadLen);
    std::memcpy(dst, ahead, early);
    dropAhead(early);
    if (early == n || !file)
        return early;
    return early + std::fread(dst + early, 1, n - early, file);
}

// A large read skips the stream's buffer, which would only copy the bytes
// once more: the bytes read ahead come first, then the stream gives up what
// it has buffered (fflush on a stream that reads sets the file's offset to
// the stream's position, as for a seek, and empties its buffer) and read(2)
// fills the rest. Only a file that can seek is read this way (size known),
// so the stream's buffer is never lost. As fread does, the reads go on
// until `n` bytes, the end of the file, or a failure (an interrupted read
// included); the end and the failure are kept as the stream's flags are.
std::size_t Reader::readDirect(unsigned char* dst, std::size_t n) {
    std::size_t got = std::min(n, aheadLen);
    std::memcpy(dst, ahead, got);
    dropAhead(got);
    if (!file || got == n || directEnd || std::feof(file))
        return got;
    if (std::fflush(file) != 0) {
        directError = true;
        return got;
    }
    const int fd = fileno(file);
    while (got < n) {
        const ssize_t r = ::read(fd, dst + got, n - got);
        if (r < 0) {
            directError = true;
            break;
        }
        if (r == 0) {
            directEnd = true;
            break;
        }
        got += static_cast<std::size_t>(r);
    }
    return got;
}

void Reader::dropAhead(std::size_t n) {
    std::memmove(ahead, ahead + n, aheadLen - n);
    aheadLen -= n;
}

}  // namespace chunk
}  // namespace tarvio
