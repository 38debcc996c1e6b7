// SPDX-License-Identifier: MIT

#include "render/VirtualFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tarvio::render {

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
    if (failure_.empty())
        failure_ = std::system_category().message(error);
}

sf_count_t VirtualFile::length(void* self) {
    struct stat st;
    if (::fstat(static_cast<VirtualFile*>(self)->fd_, &st) != 0)
        return -1;
    return static_cast<sf_count_t>(st.st_size);
}

sf_count_t VirtualFile::seek(sf_count_t offset, int whence, void* self) {
    const off_t at =
        ::lseek(static_cast<VirtualFile*>(self)->fd_, static_cast<off_t>(offset), whence);
    return at < 0 ? -1 : static_cast<sf_count_t>(at);
}

sf_count_t VirtualFile::read(void* to, sf_count_t count, void* self) {
    const int fd = static_cast<VirtualFile*>(self)->fd_;
    sf_count_t done = 0;
    while (done < count) {
        const ssize_t r =
            ::read(fd, static_cast<char*>(to) + done, static_cast<std::size_t>(count - done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += r;
    }
    return done;
}

sf_count_t VirtualFile::tell(void* self) {
    const off_t at = ::lseek(static_cast<VirtualFile*>(self)->fd_, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<sf_count_t>(at);
}

sf_count_t VirtualFile::write(const void* from, sf_count_t count, void* self) {
    return static_cast<VirtualFile*>(self)->put(static_cast<const unsigned char*>(from), count);
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
    return done;
}

}  // namespace tarvio::render
