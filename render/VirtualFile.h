// SPDX-License-Identifier: MIT
// The output file as libsndfile sees it: a descriptor of ours behind
// libsndfile's virtual I/O. Every write goes through here, also those of an
// encoder's last flush inside sf_close, whose failures libsndfile does not
// report; the first failure is kept with its cause ("File too large", "No
// space left on device") for the message.
#ifndef TARVIO_RENDER_VIRTUALFILE_H
#define TARVIO_RENDER_VIRTUALFILE_H

#include <sndfile.h>

#include <string>

namespace tarvio::render {

class VirtualFile {
  public:
    // Takes `fd`, open for writing, and closes it when done; -1 leaves the
    // file to open().
    explicit VirtualFile(int fd);
    ~VirtualFile();
    VirtualFile(const VirtualFile&) = delete;
    VirtualFile& operator=(const VirtualFile&) = delete;

    // Without a descriptor, creates or truncates `path` for writing; false,
    // with errno set, when that fails.
    bool open(const std::string& path);

    // What sf_open_virtual takes.
    SF_VIRTUAL_IO* io() { return &io_; }
    void* user() { return this; }

    // Closes the descriptor (once libsndfile is done with it); a failure to
    // close counts as a failed write.
    void close();

    // Why the first write that failed did, or an empty string. Read it on
    // the thread that wrote, or after handing over from it.
    const std::string& failure() const { return failure_; }

  private:
    static sf_count_t length(void* self);
    static sf_count_t seek(sf_count_t offset, int whence, void* self);
    static sf_count_t read(void* to, sf_count_t count, void* self);
    static sf_count_t write(const void* from, sf_count_t count, void* self);
    static sf_count_t tell(void* self);

    sf_count_t put(const unsigned char* from, sf_count_t count);
    void failWith(int error);

    int fd_;
    SF_VIRTUAL_IO io_;
    std::string failure_;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_VIRTUALFILE_H
