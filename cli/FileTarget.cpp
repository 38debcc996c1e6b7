// SPDX-License-Identifier: MIT

#include "cli/FileTarget.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace tarvio {

std::string dirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writing through a link replaces the file it points to, not the link. Stops
// at anything that is not a link, and after 40 links (a loop).
std::string followLinks(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1);
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
            return path;
        std::string next(target.data(), static_cast<std::size_t>(n));
        path = next[0] == '/' ? next : dirOf(path) + next;
    }
    return path;
}

FileTarget targetOf(const std::string& path) {
    FileTarget t;
    const std::string resolved = followLinks(path);
    struct stat st;
    if (::stat(resolved.c_str(), &st) == 0) {
        t.exists = true;
        t.device = S_ISCHR(st.st_mode);
        t.dev = st.st_dev;
        t.ino = st.st_ino;
    }
    t.name = baseOf(resolved);
    const std::string dir = dirOf(resolved);
    struct stat d;
    if (!t.name.empty() && t.name != "." && t.name != ".." &&
        ::stat(dir.empty() ? "." : dir.c_str(), &d) == 0) {
        t.placed = true;
        t.dirDev = d.st_dev;
        t.dirIno = d.st_ino;
    }
    return t;
}

FileTarget targetOfDescriptor(int fd) {
    FileTarget t;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        t.exists = true;
        t.device = S_ISCHR(st.st_mode);
        t.dev = st.st_dev;
        t.ino = st.st_ino;
    }
    return t;
}

bool sameTarget(const FileTarget& a, const FileTarget& b) {
    if (a.exists && b.exists && a.dev == b.dev && a.ino == b.ino)
        return true;
    return a.placed && b.placed && a.dirDev == b.dirDev && a.dirIno == b.dirIno && a.name == b.name;
}

void checkNamedOnce(const std::vector<NamedFile>& files) {
    std::vector<FileTarget> targets;
    for (const NamedFile& f : files)
        targets.push_back(f.path == "-" && !f.written ? targetOfDescriptor(STDIN_FILENO)
                                                      : targetOf(f.path));
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t k = i + 1; k < files.size(); ++k) {
            if (files[i].path.empty() || files[k].path.empty() ||
                !(files[i].written || files[k].written))
                continue;
            const bool devices = targets[i].device && targets[k].device;
            if (!devices && sameTarget(targets[i], targets[k]))
                throw std::runtime_error("\"" + files[i].path + "\" is named twice (" +
                                         files[i].role + " and " + files[k].role + ")");
        }
    }
}

}  // namespace tarvio
