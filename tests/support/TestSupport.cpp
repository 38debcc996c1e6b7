#include "tests/support/TestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void appendTag(Bytes& b, const char tag[4]) {
    b.insert(b.end(), tag, tag + 4);
}

void appendLE(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

void appendBE(Bytes& b, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
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

bool haveProgram(const std::string& program) {
    std::string cmd = "command -v " + shellQuote(program) + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace testsupport
