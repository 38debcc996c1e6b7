// SPDX-License-Identifier: MIT
// The output file as libsndfile sees it: a descriptor of ours behind
// libsndfile's virtual I/O. Every write goes through here, also those of an
// encoder's last flush inside sf_close, whose failures libsndfile does not
// report; the first failure is kept with its cause ("File too large", "No
// space left on device") for the message.
//
// It can also clear the channel mask of the WAV or RF64 header libsndfile
// writes: for one, two, four, six and eight channels libsndfile declares a
// mask of standard loudspeakers even when none is set, which would claim
// positions the channels do not have.
#ifndef TARVIO_RENDER_VIRTUALFILE_H
#define TARVIO_RENDER_VIRTUALFILE_H

#include <sndfile.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

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

    // From now on every WAV or RF64 header written at the start of the
    // file declares no loudspeakers: its channel mask is set to 0 on the way
    // through. A header whose format chunk cannot be found counts as a
    // failed write.
    void declareNoLoudspeakers() { clearMask_ = true; }

    // Writes `n` bytes where the last write ended, past libsndfile (a stream
    // the program writes itself); false when the write failed.
    bool append(const void* bytes, std::size_t n);
    // When the descriptor is a regular file whose end is where the writes
    // ended, writes `n` bytes at `offset` (a header's sizes, once known);
    // false, changing nothing, otherwise.
    bool patch(std::size_t offset, const unsigned char* bytes, std::size_t n);

    // Closes the descriptor (once libsndfile is done with it); a failure to
    // close counts as a failed write.
    void close();

    // Why the first write that failed did, or an empty string. Read it on
    // the thread that wrote, or after handing over from it.
    const std::string& failure() const { return failure_; }
    // Whether that write failed because the reader of a pipe had gone.
    bool pipeClosed() const { return failureErrno_ == EPIPE; }

  private:
    static sf_count_t length(void* self);
    static sf_count_t seek(sf_count_t offset, int whence, void* self);
    static sf_count_t read(void* to, sf_count_t count, void* self);
    static sf_count_t write(const void* from, sf_count_t count, void* self);
    static sf_count_t tell(void* self);

    sf_count_t put(const unsigned char* from, sf_count_t count);
    const unsigned char* withMaskCleared(const unsigned char* from, sf_count_t count);
    void failWith(int error);

    int fd_;
    SF_VIRTUAL_IO io_;
    sf_count_t position_ = 0;  // where the next write goes
    bool clearMask_ = false;
    std::vector<unsigned char> header_;  // a header on its way, with its mask cleared
    std::string failure_;
    int failureErrno_ = 0;
};

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_VIRTUALFILE_H
