// SPDX-License-Identifier: MIT
// Where a path leads, for telling whether two names mean the same file even
// when one of them does not exist yet: "o.aif", "./o.aif", "sub/../o.aif" and
// a symbolic link to o.aif all lead to the name "o.aif" in one directory.
#ifndef TARVIO_CLI_FILETARGET_H
#define TARVIO_CLI_FILETARGET_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvio {

struct FileTarget {
    // The directory that holds the file, or would hold it, and the file's
    // name there; `placed` is false when the directory cannot be found.
    bool placed = false;
    dev_t dirDev = 0;
    ino_t dirIno = 0;
    std::string name;
    // The file itself, when it exists (this also catches hard links).
    bool exists = false;
    bool device = false;  // a character device such as /dev/null
    dev_t dev = 0;
    ino_t ino = 0;
};

// The file that `path` names once symbolic links in its last part are
// followed; a link to nowhere leads to the name it points to.
std::string followLinks(std::string path);

// The target of `path` (links followed).
FileTarget targetOf(const std::string& path);

// The file open on descriptor `fd` (its directory is not known).
FileTarget targetOfDescriptor(int fd);

bool sameTarget(const FileTarget& a, const FileTarget& b);

// A file a run reads or writes, and what names it ("output", "--trace").
// The path "-" of a file that is not written means standard input.
struct NamedFile {
    std::string path;
    std::string role;
    bool written;
};

// Refuses, with a std::runtime_error, any file named twice where one of the
// two is written, under whatever names: "\"o.aif\" is named twice (output
// and --trace)". Unnamed (empty) entries are left out; devices such as
// /dev/null may take several outputs.
void checkNamedOnce(const std::vector<NamedFile>& files);

// The directory part of a path with its trailing slash ("" for a bare name),
// and the last part.
std::string dirOf(const std::string& path);
std::string baseOf(const std::string& path);

}  // namespace tarvio

#endif  // TARVIO_CLI_FILETARGET_H
