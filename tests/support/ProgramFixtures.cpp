// SPDX-License-Identifier: MIT

#include "tests/support/ProgramFixtures.h"

namespace testsupport {

void writeWav(const std::string& path, const WavSpec& w) {
    writeFile(path, wavBytes(w));
}

std::vector<std::int16_t> samplePattern(int n) {
    std::vector<std::int16_t> s;
    for (int i = 0; i < n; ++i)
        s.push_back(static_cast<std::int16_t>((i * 2741LL) % 40001 - 20000));
    return s;
}

std::vector<std::string> programArgs(const std::string& in, const std::string& out,
                                     std::vector<std::string> numbers) {
    std::vector<std::string> a = {in, out};
    a.insert(a.end(), numbers.begin(), numbers.end());
    return a;
}

std::string tarvioCommand(const std::vector<std::string>& args, const std::string& binary) {
    std::string cmd = shellQuote(binary);
    for (const std::string& a : args)
        cmd += " " + shellQuote(a);
    return cmd;
}

CommandResult runTarvio(const std::vector<std::string>& args, const std::string& prefix) {
    return runCommand(prefix + tarvioCommand(args));
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace testsupport
