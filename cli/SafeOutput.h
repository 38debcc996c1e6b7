// SPDX-License-Identifier: MIT
// The output file of a run, kept safe until the run has finished. Where it
// can, the run writes to a new hidden file next to the output and moves that
// file over the output's name only when everything has been written: a
// failed or interrupted run then leaves whatever was at the output path as it
// was. Outputs that are not regular files (/dev/null, /dev/full), and
// directories that cannot take a new file while the output itself is
// writable, are written in place.
#ifndef TARVIO_CLI_SAFEOUTPUT_H
#define TARVIO_CLI_SAFEOUTPUT_H

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tarvio {

class SafeOutput {
  public:
    // `path` is the output as the user named it; a file that cannot be
    // removed is reported on `report` (standard error by default).
    explicit SafeOutput(std::string path, std::ostream* report = nullptr);
    // Removes what an unfinished run wrote (see discard).
    ~SafeOutput();

    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // Refuses, with a std::runtime_error, an output that cannot work, before
    // anything is created: the program's own standard output (unless that is
    // a device such as /dev/null), and an output that cannot be rewound to
    // finish its header (a pipe, a socket, a terminal). Messages call the
    // file by its role ("output" unless setRole says otherwise).
    void check() const;
    void setRole(std::string role) { role_ = std::move(role); }

    // Refuses, with std::runtime_error("input and output are the same
    // file"), an output that is the file `input` names, under whatever name.
    void checkApartFrom(const std::string& input) const;

    // Refuses, with a std::runtime_error naming the path and the cause, an
    // output whose directory does not exist or is not a directory.
    void checkDirectory() const;

    // Decides where the file is written and, for a temporary file, creates
    // it (empty, with the permission bits the output will have).
    void prepare();

    // Where the writer is to open its file: the temporary file, or the output
    // path itself when writing in place.
    const std::string& writePath() const { return inPlace_ ? path_ : temp_; }
    const std::string& path() const { return path_; }
    bool inPlace() const { return inPlace_; }

    // The temporary file, open for writing, for a writer that takes a file
    // descriptor (it owns it from then on); -1 when writing in place or when
    // taken before. A writer that opens writePath() by name must not
    // truncate it: see WRAIFF::open_created.
    int takeDescriptor();

    // Sets aside room on the disk for a temporary file that is expected to
    // grow to about `bytes`, before the writer opens it: the file system then
    // allocates its blocks in one go instead of one by one as the data comes,
    // which makes every later write cheaper (a third of the writing time for
    // a 200 MB output on ext4) and the file less scattered. The file's size
    // does not change, and what was set aside but not written is given back
    // at commit. Only a hint: nothing happens in place, after the descriptor
    // was taken or closed, or where the file system cannot do it, and a disk
    // without enough room is left to fail the writes as it would anyway.
    void reserve(std::uint64_t bytes);

    // About the most an output can take, for reserve(): `headerBytes` and
    // `outputFrameBytes` for each input frame, the frames being those the
    // input's header announces (`announcedFrames`, 0 when unknown) but never
    // more than `input`'s size can hold at `inputFrameBytes` a frame, so a
    // header that promises more than its file has cannot raise it; the data
    // held to `maxDataBytes` when that is not 0. 0 when `input` is not a
    // regular file.
    static std::uint64_t roomFor(const std::string& input, std::uint64_t announcedFrames,
                                 std::uint64_t inputFrameBytes, std::uint64_t outputFrameBytes,
                                 std::uint64_t headerBytes, std::uint64_t maxDataBytes);

    // Call once the writer has opened writePath(): remembers which file it
    // wrote, so that a failure removes exactly that file.
    void opened();

    // The file is complete: moves it into place. Throws std::runtime_error
    // when it cannot, and Interrupted when a stop signal came first.
    void commit();

    // Moves several complete files into place, all or none: every target is
    // checked before the first is moved, the last of `files` is moved last,
    // and when a move fails the files already moved are taken back and what
    // they replaced is put back where the file system allows (a hard link
    // keeps it meanwhile). Throws like commit.
    static void commitAll(const std::vector<SafeOutput*>& files);

    // Removes the temporary file; in place, removes the unfinished output if
    // it is a regular file. A file that cannot be removed is reported on
    // standard error with its path. Does nothing after commit.
    void discard() noexcept;

  private:
    void closeDescriptor();
    void releaseUnused();
    void checkTarget() const;
    std::string keepPrevious() const;
    void moveIntoPlace();

    std::string path_;      // as given
    std::ostream* report_;  // where a file left behind is reported
    std::string role_ = "output";
    std::string resolved_;  // path_ with symbolic links followed
    std::string temp_;      // the temporary file, empty when writing in place
    bool inPlace_ = true;
    int fd_ = -1;            // the temporary file, until taken or closed
    int scratch_ = -1;       // its place in the signal handler's list
    bool done_ = false;      // committed or discarded
    bool known_ = false;     // dev_/ino_ name the file the writer opened
    bool reserved_ = false;  // room was set aside beyond the file's end
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace tarvio

#endif  // TARVIO_CLI_SAFEOUTPUT_H
