// SPDX-License-Identifier: MIT

#include "engine/TextLines.h"

#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tarvio {
namespace text {

namespace {

// A value of the "C" locale, so that numbers read the same whatever locale
// the program runs in (a decimal point, never a comma).
locale_t cLocale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

std::runtime_error tooLarge(const std::string& name, std::size_t maxBytes,
                            const std::string& what) {
    return std::runtime_error(name + ": larger than " + std::to_string(maxBytes) +
                              " bytes, the most " + what + " may hold");
}

std::runtime_error systemError(const std::string& name, const char* doing, int err) {
    return std::runtime_error(name + ": " + doing + ": " + std::strerror(err));
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

std::string readAll(std::istream& in, std::size_t maxBytes, const std::string& name,
                    const std::string& what) {
    std::string data(maxBytes + 1, '\0');
    in.read(&data[0], static_cast<std::streamsize>(data.size()));
    if (in.bad())
        throw std::runtime_error(name + ": cannot read");
    const std::size_t have = static_cast<std::size_t>(in.gcount());
    if (have > maxBytes)
        throw tooLarge(name, maxBytes, what);
    data.resize(have);
    return data;
}

std::string readFile(const std::string& fileName, std::size_t maxBytes, const std::string& what) {
    const Descriptor file{::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0)
        throw systemError(fileName, "cannot open", errno);
    struct stat st;
    if (::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        throw tooLarge(fileName, maxBytes, what);
    std::string data(maxBytes + 1, '\0');
    std::size_t have = 0;
    while (have < data.size()) {
        const ssize_t n = ::read(file.fd, &data[have], data.size() - have);
        if (n == 0)
            break;
        if (n < 0)
            throw systemError(fileName, "cannot read", errno);  // EINTR too
        have += static_cast<std::size_t>(n);
    }
    if (have > maxBytes)
        throw tooLarge(fileName, maxBytes, what);
    data.resize(have);
    return data;
}

std::runtime_error lineError(const std::string& name, long line, const std::string& reason) {
    return std::runtime_error(name + ": line " + std::to_string(line) + ": " + reason);
}

std::string quoted(const std::string& field) {
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : field) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\' || c == '"')
            out += std::string("\\") + ch;
        else if (c < 0x20 || c >= 0x7f)
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        else
            out += ch;
    }
    return out + "\"";
}

std::vector<std::string> fields(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::size_t hash = line.find('#');
    if (hash != std::string::npos)
        line.erase(hash);
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

std::optional<double> finiteNumber(const std::string& field) {
    char* end = nullptr;
    const double v = strtod_l(field.c_str(), &end, cLocale());
    if (end == field.c_str() || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

double number(const std::string& field, const std::string& name, long line) {
    char* end = nullptr;
    double v = strtod_l(field.c_str(), &end, cLocale());
    if (end == field.c_str() || *end != '\0')
        throw lineError(name, line, "not a number: " + quoted(field));
    if (!std::isfinite(v))
        throw lineError(name, line, "not a finite number: " + quoted(field));
    return v;
}

}  // namespace text
}  // namespace tarvio
