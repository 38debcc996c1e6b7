// SPDX-License-Identifier: MIT
// Small helpers for the tests: scratch directories, file contents as bytes,
// and running a command with its output captured.
#ifndef TARVIO_TESTS_SUPPORT_TESTSUPPORT_H
#define TARVIO_TESTS_SUPPORT_TESTSUPPORT_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tests/support/Bytes.h"

namespace testsupport {

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);
bool fileExists(const std::string& path);
// The names in a directory, without "." and "..".
std::set<std::string> entries(const std::string& dir);

// The result of a command run through the shell.
struct CommandResult {
    int status = -1;  // exit status, or -1 when the command did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};
CommandResult runCommand(const std::string& command);

// A program run in the background, for tests that act while it runs. Its
// standard output is read through a pipe, or is a pipe nobody reads (every
// write then fails with EPIPE); its standard error goes to `errPath`.
class Child {
  public:
    enum class Stdout { Captured, ClosedPipe };
    Child(const std::vector<std::string>& argv, const std::string& errPath,
          Stdout mode = Stdout::Captured);
    // Kills and reaps a child that is still running.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads standard output until it contains `text`; false when the child
    // closes it first or `seconds` pass.
    bool waitForOutput(const std::string& text, double seconds = 20);
    const std::string& output() const { return out_; }
    void signal(int sig);
    // Reads the rest of the output and waits for the end: the exit status,
    // or -1 when a signal ended the child (see killedBy).
    int wait();
    int killedBy() const { return killedBy_; }
    // Waits until the child has a handler for `sig` (it has set up its
    // signals); false when `seconds` pass first.
    bool waitForHandler(int sig, double seconds = 20);

  private:
    void readSome(int ms);

    int pid_ = -1;
    int outFd_ = -1;
    int killedBy_ = 0;
    std::string out_;
};

// Quotes `s` for use as one word in a shell command.
std::string shellQuote(const std::string& s);

// True when the peer tests must not be skipped (the project's test script
// installs the peers and asks for them).
constexpr bool peersRequired() {
    return TARVIO_REQUIRE_PEERS != 0;
}

// True when `program` is found on the PATH.
bool haveProgram(const std::string& program);

}  // namespace testsupport

// Skips the current test when a command-line peer is missing, unless the
// peers are required, in which case the test fails.
#define TARVIO_REQUIRE_PROGRAM(program)                  \
    do {                                                 \
        if (!::testsupport::haveProgram(program)) {      \
            if (::testsupport::peersRequired())          \
                FAIL() << program << " missing";         \
            GTEST_SKIP() << program << " not installed"; \
        }                                                \
    } while (0)

#endif  // TARVIO_TESTS_SUPPORT_TESTSUPPORT_H
