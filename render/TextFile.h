// SPDX-License-Identifier: MIT
// A text output (the trace, the picture) written through a file descriptor,
// so that a failed write keeps its cause ("No space left on device") for the
// message, which a std::ofstream loses.
#ifndef TARVIO_RENDER_TEXTFILE_H
#define TARVIO_RENDER_TEXTFILE_H

#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace tarvio::render {

class TextFile {
  public:
    // Writes through `fd` when it is not -1 (the file is then owned),
    // otherwise creates `path`; `name` is how messages call the file. Throws
    // std::runtime_error("NAME: cause") when the file cannot be opened.
    TextFile(const std::string& path, int fd, const std::string& name);
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    std::ostream& stream() { return stream_; }
    // Writes what is buffered and closes the file; throws
    // std::runtime_error("NAME: write failed: cause") when any write failed.
    void close();

  private:
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(int fd);
        bool drain();
        int fd() const { return fd_; }
        void forget() { fd_ = -1; }
        int error() const { return error_; }

      protected:
        int_type overflow(int_type c) override;
        int sync() override;

      private:
        int fd_;
        int error_ = 0;  // errno of the first failed write
        std::vector<char> data_;
    };

    std::string name_;
    Buffer buffer_;
    std::ostream stream_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_TEXTFILE_H
