// SPDX-License-Identifier: MIT

#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tarvio-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf " + shellQuote(path_);
    int rc = std::system(cmd.c_str());
    (void)rc;
}

std::string TempDir::file(const std::string& name) const {
    return path_ + "/" + name;
}

Bytes readFile(const std::string& path) {
    std::string s = slurp(path);
    return Bytes(s.begin(), s.end());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                names.insert(n);
        }
        ::closedir(d);
    }
    return names;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

CommandResult runCommand(const std::string& command) {
    TempDir dir;
    std::string outPath = dir.file("stdout");
    std::string errPath = dir.file("stderr");
    std::string full =
        "(" + command + ") >" + shellQuote(outPath) + " 2>" + shellQuote(errPath) + " </dev/null";
    CommandResult r;
    int rc = std::system(full.c_str());
    if (rc != -1 && WIFEXITED(rc))
        r.status = WEXITSTATUS(rc);
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

Child::Child(const std::vector<std::string>& argv, const std::string& errPath, Stdout mode) {
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    if (mode == Stdout::ClosedPipe) {
        // Closed before the child exists: no process can ever read the pipe.
        ::close(fds[0]);
        fds[0] = -1;
    }
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        if (err >= 0)
            ::dup2(err, STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        if (fds[0] >= 0)
            ::close(fds[0]);
        ::close(fds[1]);
        // The test runner may ignore or block signals; the child starts clean.
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (err >= 0)
        ::close(err);
    ::close(fds[1]);
    outFd_ = fds[0];
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        ::close(outFd_);
}

// Waits up to `ms` for output and appends what came; closes the pipe at its
// end.
void Child::readSome(int ms) {
    pollfd p{outFd_, POLLIN, 0};
    if (outFd_ < 0 || ::poll(&p, 1, ms) <= 0)
        return;
    char buf[4096];
    const ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n > 0) {
        out_.append(buf, static_cast<std::size_t>(n));
        return;
    }
    ::close(outFd_);
    outFd_ = -1;
}

bool Child::waitForOutput(const std::string& text, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (out_.find(text) == std::string::npos) {
        if (outFd_ < 0 || std::chrono::steady_clock::now() >= end)
            return false;
        readSome(100);
    }
    return true;
}

void Child::signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

bool Child::waitForHandler(int sig, double seconds) {
    const std::string status = "/proc/" + std::to_string(pid_) + "/status";
    for (int rounds = 0; rounds < seconds * 100; ++rounds) {
        std::ifstream in(status);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("SigCgt:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1u))
                return true;
        }
        ::usleep(10000);
    }
    return false;
}

int Child::wait() {
    // Everything up to the end of the output; one that never ends gives up
    // after a minute.
    for (int rounds = 0; outFd_ >= 0 && rounds < 600; ++rounds)
        readSome(100);
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_)
        return -1;
    pid_ = -1;
    if (WIFSIGNALED(status)) {
        killedBy_ = WTERMSIG(status);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveProgram(const std::string& program) {
    std::string cmd = "command -v " + shellQuote(program) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace testsupport
