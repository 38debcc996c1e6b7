// SPDX-License-Identifier: MIT

#include "cli/SafeOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <vector>

#include "cli/FileTarget.h"
#include "cli/Interrupt.h"

namespace tarvio {

namespace {

// Whether the file at `path`, described by `st`, can be rewound so that its
// header can be rewritten at the end. Character devices are asked; a
// terminal cannot, /dev/null and /dev/full can.
bool rewindable(const std::string& path, const struct stat& st) {
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return false;
    if (!S_ISCHR(st.st_mode))
        return true;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;  // the writer will fail to open it and say so
    const bool can = !::isatty(fd) && ::lseek(fd, 0, SEEK_SET) != static_cast<off_t>(-1);
    ::close(fd);
    return can;
}

// Whether an existing file may be replaced by renaming another file over it:
// in a directory with the sticky bit (such as /tmp) only the owner of the
// file or of the directory may do that, even where others may write to it.
bool renameAllowed(const std::string& dir, const struct stat& file) {
    struct stat d;
    if (::stat(dir.empty() ? "." : dir.c_str(), &d) != 0)
        return false;
    if (!(d.st_mode & S_ISVTX))
        return true;
    const uid_t me = ::geteuid();
    return me == 0 || file.st_uid == me || d.st_uid == me;
}

void reportLeftBehind(std::ostream& out, const std::string& path) {
    const int err = errno;
    try {
        out << "could not remove the unfinished output \"" << path << "\": " << std::strerror(err)
            << std::endl;
    } catch (...) {
    }
}

}  // namespace

SafeOutput::SafeOutput(std::string path, std::ostream* report)
    : path_(std::move(path)), report_(report ? report : &std::cerr) {}

SafeOutput::~SafeOutput() {
    discard();
}

void SafeOutput::check() const {
    struct stat out;
    if (path_.empty() || ::stat(path_.c_str(), &out) != 0)
        return;  // a new file
    const bool canRewind = rewindable(path_, out);
    struct stat so;
    if (::fstat(STDOUT_FILENO, &so) == 0 && so.st_dev == out.st_dev && so.st_ino == out.st_ino &&
        !(S_ISCHR(out.st_mode) && canRewind))
        throw std::runtime_error(role_ + " and standard output are the same file");
    if (!canRewind)
        throw std::runtime_error(role_ + " \"" + path_ + "\" cannot be rewound; write to a file");
}

void SafeOutput::checkApartFrom(const std::string& input) const {
    if (sameTarget(targetOf(input), targetOf(path_)))
        throw std::runtime_error("input and output are the same file");
}

std::uint64_t SafeOutput::roomFor(const std::string& input, std::uint64_t announcedFrames,
                                  std::uint64_t inputFrameBytes, std::uint64_t outputFrameBytes,
                                  std::uint64_t headerBytes, std::uint64_t maxDataBytes) {
    struct stat st;
    if (::stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        inputFrameBytes == 0)
        return 0;
    std::uint64_t frames = static_cast<std::uint64_t>(st.st_size) / inputFrameBytes + 1;
    if (announcedFrames != 0 && announcedFrames < frames)
        frames = announcedFrames;
    std::uint64_t data = frames * outputFrameBytes;
    if (maxDataBytes != 0 && data > maxDataBytes)
        data = maxDataBytes;
    return headerBytes + data;
}

void SafeOutput::checkDirectory() const {
    const std::string dir = dirOf(followLinks(path_));
    struct stat st;
    if (dir.empty())
        return;
    if (::stat(dir.c_str(), &st) != 0) {
        const int err = errno;
        throw std::runtime_error(path_ + ": " + std::strerror(err));
    }
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error(path_ + ": " + std::strerror(ENOTDIR));
}

void SafeOutput::prepare() {
    inPlace_ = true;
    if (path_.empty())
        return;  // the writer refuses the name itself
    resolved_ = followLinks(path_);
    const std::string dir = dirOf(resolved_);
    const std::string base = baseOf(resolved_);
    struct stat st;
    const bool exists = ::stat(resolved_.c_str(), &st) == 0;
    if (base.empty())
        return;
    // A device is written where it is; a file we may not write, or not
    // replace, is left to the writer, which fails or writes it in place as
    // it always has.
    if (exists &&
        (!S_ISREG(st.st_mode) || ::access(resolved_.c_str(), W_OK) != 0 || !renameAllowed(dir, st)))
        return;

    std::string pattern = dir + "." + base + ".tarvio-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return;  // the directory takes no new file: write in place
    temp_ = name.data();
    scratch_ = interrupt::addScratchFile(temp_.c_str());
    inPlace_ = false;

    if (exists) {
        // The owner first (only root may give a file away; others keep
        // their own), then the permission bits, which a change of owner
        // would clear.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // keeps the owner of the new file
        }
        ::fchmod(fd, st.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    fd_ = fd;
}

int SafeOutput::takeDescriptor() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void SafeOutput::reserve(std::uint64_t bytes) {
#if defined(__linux__)
    if (fd_ < 0 || inPlace_ || bytes == 0 ||
        bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return;
    // Not more than the disk has free: a reservation that failed half-way
    // would hold the rest of the disk until the run ends.
    struct statvfs fs;
    if (::fstatvfs(fd_, &fs) != 0 || fs.f_frsize == 0 ||
        bytes / fs.f_frsize >= static_cast<std::uint64_t>(fs.f_bavail))
        return;
    // Allocated past the end (the size stays 0), so that a run that writes
    // less leaves no zeros behind; a failure (no support, a size limit) only
    // means the writes allocate as they go.
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0)
        reserved_ = true;
#else
    (void)bytes;
#endif
}

// Gives back the blocks set aside beyond the end of the finished file:
// truncating to the file's own size releases them. A failure costs only disk
// space.
void SafeOutput::releaseUnused() {
    struct stat st;
    if (reserved_ && ::stat(temp_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (::truncate(temp_.c_str(), st.st_size) != 0) {
            // the blocks stay with the file
        }
    }
    reserved_ = false;
}

void SafeOutput::closeDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SafeOutput::opened() {
    closeDescriptor();
    struct stat st;
    const std::string& p = inPlace_ ? (resolved_.empty() ? path_ : resolved_) : temp_;
    if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        known_ = true;
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

// Refuses, before anything is moved, a target that a rename could not
// replace: a directory stands at the output's name, or its directory went.
void SafeOutput::checkTarget() const {
    if (inPlace_ || done_)
        return;
    struct stat st;
    if (::lstat(resolved_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error("could not move the finished output to \"" + path_ +
                                 "\": " + std::strerror(EISDIR));
    const std::string dir = dirOf(resolved_);
    if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("could not move the finished output to \"" + path_ +
                                 "\": " + std::strerror(ENOENT));
}

// Keeps the file now at the output's name under a hidden second name, so that
// a later failure can put it back; "" when there is none to keep or the file
// system cannot link it (then it cannot be put back).
std::string SafeOutput::keepPrevious() const {
    struct stat st;
    if (inPlace_ || done_ || ::lstat(resolved_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::string();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string pattern = dirOf(resolved_) + "." + baseOf(resolved_) + ".tarvio-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0)
            return std::string();
        ::close(fd);
        ::unlink(name.data());
        if (::link(resolved_.c_str(), name.data()) == 0)
            return name.data();
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}

void SafeOutput::moveIntoPlace() {
    if (done_)
        return;
    if (!inPlace_)
        releaseUnused();
    if (!inPlace_ && ::rename(temp_.c_str(), resolved_.c_str()) != 0) {
        const int err = errno;
        throw std::runtime_error("could not move the finished output to \"" + path_ +
                                 "\": " + std::strerror(err));
    }
    done_ = true;
    interrupt::releaseScratchFile(scratch_);
    scratch_ = -1;
}

void SafeOutput::commit() {
    commitAll({this});
}

void SafeOutput::commitAll(const std::vector<SafeOutput*>& files) {
    for (SafeOutput* f : files)
        f->closeDescriptor();
    interrupt::Hold hold;
    interrupt::check();
    for (SafeOutput* f : files)
        f->checkTarget();
    // What each moved file replaced, to put back if a later one fails.
    struct Moved {
        SafeOutput* file;
        bool replaced;         // a file stood at the name before
        std::string previous;  // where it is kept, "" when it could not be
    };
    std::vector<Moved> moved;
    try {
        for (SafeOutput* f : files) {
            const bool last = f == files.back();
            struct stat st;
            const bool replaced = ::lstat(f->resolved_.c_str(), &st) == 0;
            Moved m{f, replaced, last ? std::string() : f->keepPrevious()};
            f->moveIntoPlace();
            moved.push_back(m);
        }
    } catch (...) {
        for (const Moved& m : moved) {
            if (m.file->inPlace_)
                continue;
            if (!m.previous.empty())
                ::rename(m.previous.c_str(), m.file->resolved_.c_str());
            else if (!m.replaced)
                ::unlink(m.file->resolved_.c_str());
        }
        throw;
    }
    for (const Moved& m : moved) {
        if (!m.previous.empty())
            ::unlink(m.previous.c_str());
    }
}

void SafeOutput::discard() noexcept {
    closeDescriptor();
    if (done_)
        return;
    done_ = true;
    interrupt::releaseScratchFile(scratch_);
    scratch_ = -1;
    const std::string& p = inPlace_ ? (resolved_.empty() ? path_ : resolved_) : temp_;
    if (p.empty() || !known_) {
        if (!inPlace_)
            ::unlink(temp_.c_str());
        return;
    }
    // Only the very file the writer wrote, and never a device.
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != dev_ ||
        st.st_ino != ino_)
        return;
    if (::unlink(p.c_str()) != 0)
        reportLeftBehind(*report_, p);
}

}  // namespace tarvio
