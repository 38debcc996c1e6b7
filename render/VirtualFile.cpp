// SPDX-License-Identifier: MIT

#include "render/VirtualFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace tarvio::render {

namespace {

unsigned le16(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
}

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool isId(const unsigned char* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// WAVE_FORMAT_EXTENSIBLE, the format tag of a format chunk with a mask.
constexpr unsigned kExtensible = 0xFFFE;
// Where the mask lies in the body of an extensible format chunk: after the
// tag, channels, rate, bytes per second, block align, bits, extension size
// and valid bits.
constexpr std::size_t kMaskAt = 20;

// What a header passing through clearChannelMask held.
enum class HeaderMask {
    NotAHeader,  // the bytes do not start a WAV or RF64 file
    Declared,    // the format chunk's mask is now 0, or the format has no mask
    Unknown,     // a WAV header without a complete format chunk before the data
};

// Sets the channel mask of the extensible format chunk in `header` (`n`
// bytes, the start of a WAV or RF64 file) to 0. The chunks after
// "RIFF"/"RF64", the size and "WAVE" are walked until the format chunk; each
// chunk's size is checked against the bytes at hand before it is skipped.
HeaderMask clearChannelMask(unsigned char* header, std::size_t n) {
    if (n < 12 || !(isId(header, "RIFF") || isId(header, "RF64")) || !isId(header + 8, "WAVE"))
        return HeaderMask::NotAHeader;
    std::size_t at = 12;
    while (n - at >= 8) {
        const unsigned char* id = header + at;
        const std::size_t size = le32(header + at + 4);
        const std::size_t body = at + 8;
        if (isId(id, "data") || size > n - body)
            return HeaderMask::Unknown;
        if (isId(id, "fmt ")) {
            if (size < 2)
                return HeaderMask::Unknown;
            if (le16(header + body) != kExtensible)
                return HeaderMask::Declared;  // a plain format chunk has no mask
            if (size < kMaskAt + 4)
                return HeaderMask::Unknown;
            std::memset(header + body + kMaskAt, 0, 4);
            return HeaderMask::Declared;
        }
        at = body + size + (size & 1);
        if (at > n)
            return HeaderMask::Unknown;
    }
    return HeaderMask::Unknown;
}

}  // namespace

VirtualFile::VirtualFile(int fd) : fd_(fd), io_{&length, &seek, &read, &write, &tell} {}

VirtualFile::~VirtualFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool VirtualFile::open(const std::string& path) {
    if (fd_ < 0)
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

void VirtualFile::close() {
    if (fd_ < 0)
        return;
    if (::close(fd_) != 0)
        failWith(errno);
    fd_ = -1;
}

void VirtualFile::failWith(int error) {
    if (!failure_.empty())
        return;
    failure_ = std::system_category().message(error);
    failureErrno_ = error;
}

bool VirtualFile::append(const void* bytes, std::size_t n) {
    const sf_count_t count = static_cast<sf_count_t>(n);
    return put(static_cast<const unsigned char*>(bytes), count) == count;
}

bool VirtualFile::patch(std::size_t offset, const unsigned char* bytes, std::size_t n) {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
        ::lseek(fd_, 0, SEEK_CUR) != static_cast<off_t>(position_) || st.st_size != position_)
        return false;
    const ssize_t w = ::pwrite(fd_, bytes, n, static_cast<off_t>(offset));
    if (w < 0)
        failWith(errno);
    return w == static_cast<ssize_t>(n);
}

sf_count_t VirtualFile::length(void* self) {
    struct stat st;
    if (::fstat(static_cast<VirtualFile*>(self)->fd_, &st) != 0)
        return -1;
    return static_cast<sf_count_t>(st.st_size);
}

sf_count_t VirtualFile::seek(sf_count_t offset, int whence, void* self) {
    VirtualFile& f = *static_cast<VirtualFile*>(self);
    const off_t at = ::lseek(f.fd_, static_cast<off_t>(offset), whence);
    if (at < 0)
        return -1;
    f.position_ = static_cast<sf_count_t>(at);
    return f.position_;
}

sf_count_t VirtualFile::read(void* to, sf_count_t count, void* self) {
    VirtualFile& f = *static_cast<VirtualFile*>(self);
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t r =
            ::read(f.fd_, static_cast<char*>(to) + done, static_cast<std::size_t>(count - done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += r;
    }
    f.position_ += done;
    return done;
}

sf_count_t VirtualFile::tell(void* self) {
    const off_t at = ::lseek(static_cast<VirtualFile*>(self)->fd_, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<sf_count_t>(at);
}

sf_count_t VirtualFile::write(const void* from, sf_count_t count, void* self) {
    VirtualFile& f = *static_cast<VirtualFile*>(self);
    const unsigned char* bytes = static_cast<const unsigned char*>(from);
    if (f.clearMask_ && f.position_ == 0)
        bytes = f.withMaskCleared(bytes, count);
    return f.put(bytes, count);
}

// The header in `from`, copied with its mask cleared; `from` itself when
// the bytes are not a WAV header.
const unsigned char* VirtualFile::withMaskCleared(const unsigned char* from, sf_count_t count) {
    header_.assign(from, from + count);
    switch (clearChannelMask(header_.data(), header_.size())) {
        case HeaderMask::NotAHeader:
            return from;
        case HeaderMask::Declared:
            return header_.data();
        case HeaderMask::Unknown:
            break;
    }
    if (failure_.empty())
        failure_ = "the channel mask could not be cleared: no format chunk in the header";
    return from;
}

// Writes all `count` bytes, as far as the file takes them; a write that
// fails keeps its cause.
sf_count_t VirtualFile::put(const unsigned char* from, sf_count_t count) {
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t w = ::write(fd_, from + done, static_cast<std::size_t>(count - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            failWith(w < 0 ? errno : EIO);
            break;
        }
        done += w;
    }
    position_ += done;
    return done;
}

}  // namespace tarvio::render
