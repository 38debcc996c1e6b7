// SPDX-License-Identifier: MIT

#include "render/TextFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarvio::render {

namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;

int openFile(const std::string& path, int fd, const std::string& name) {
    if (fd >= 0)
        return fd;
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        throw std::runtime_error(name + ": " + std::strerror(err));
    }
    return fd;
}

}  // namespace

TextFile::Buffer::Buffer(int fd) : fd_(fd), data_(kBufferBytes) {
    setp(data_.data(), data_.data() + data_.size());
}

bool TextFile::Buffer::drain() {
    const char* p = pbase();
    std::size_t n = static_cast<std::size_t>(pptr() - pbase());
    while (n > 0 && error_ == 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno != EINTR)
                error_ = errno;
            continue;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    setp(data_.data(), data_.data() + data_.size());
    return error_ == 0;
}

TextFile::Buffer::int_type TextFile::Buffer::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int TextFile::Buffer::sync() {
    return drain() ? 0 : -1;
}

TextFile::TextFile(const std::string& path, int fd, const std::string& name)
    : name_(name), buffer_(openFile(path, fd, name)), stream_(&buffer_) {}

TextFile::~TextFile() {
    if (buffer_.fd() >= 0)
        ::close(buffer_.fd());
}

void TextFile::close() {
    if (buffer_.fd() < 0)
        return;
    buffer_.drain();
    int err = buffer_.error();
    if (::close(buffer_.fd()) != 0 && err == 0)
        err = errno;
    buffer_.forget();
    if (err != 0)
        throw std::runtime_error(name_ + ": write failed: " + std::strerror(err));
}

}  // namespace tarvio::render
