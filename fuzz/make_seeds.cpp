// SPDX-License-Identifier: MIT
// Writes seed corpora for the fuzz targets into <dir>/wav, <dir>/aiff and
// <dir>/tarvio: small files from the project's own writers plus hand-made
// variants that exercise the block and chunk walks.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "aiff/wraiff.h"
#include "tests/support/AiffFixtures.h"
#include "tests/support/WavFixtures.h"
#include "wav/WavFile.h"

namespace {

using testsupport::Bytes;

Bytes load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void save(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<double> tone(int samples) {
    std::vector<double> v(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i)
        v[static_cast<std::size_t>(i)] = 0.9 * std::sin(0.05 * i);
    return v;
}

Bytes wavFromWriter(const std::string& scratch, int rate, int bits, int channels, int samples) {
    {
        WavOutFile out(scratch.c_str(), rate, bits, channels);
        std::vector<double> v = tone(samples);
        out.write(v.data(), samples);
    }
    return load(scratch);
}

Bytes aiffFromWriter(const std::string& scratch, double rate, short channels, short bits,
                     long frames) {
    {
        WRAIFF out(scratch.c_str(), rate, channels, bits);
        std::vector<double> v = tone(static_cast<int>(frames * channels));
        out.write(v.data(), frames);
    }
    return load(scratch);
}

// A WAV file with an odd-sized unknown block (with its pad byte) and an
// 18-byte format block before the data.
Bytes handMadeWav() {
    wavfix::Format f;
    f.channels = 2;
    Bytes data;
    for (int i = 0; i < 16; ++i)
        data.push_back(static_cast<unsigned char>(i * 17));
    Bytes b = wavfix::riffPart();
    wavfix::addBlock(b, "LIST", {'a', 'b', 'c'}, true);
    wavfix::addBlock(b, "fmt ", wavfix::formatBody(f, 18));
    wavfix::addBlock(b, "data", data);
    b[4] = static_cast<unsigned char>(b.size() - 8);
    return b;
}

// An AIFF file whose SSND chunk comes before its COMM chunk, with a comment
// chunk of odd size in front.
Bytes handMadeAiff() {
    Bytes data;
    for (int i = 0; i < 8; ++i)
        data.push_back(static_cast<unsigned char>(i * 31));
    Bytes chunks;
    fixture::chunk(chunks, "NAME", {'a', 'b', 'c'});
    fixture::chunk(chunks, "SSND", fixture::ssnd(data));
    fixture::chunk(chunks, "COMM", fixture::comm(2, 2, 16));
    return fixture::form(chunks);
}

// The program's seeds: a flag byte, seven doubles and a WAV file.
Bytes programSeed(const Bytes& wav, bool withNorm, const double (&numbers)[7]) {
    Bytes b;
    b.push_back(withNorm ? 1 : 0);
    for (double d : numbers) {
        unsigned char raw[sizeof d];
        std::memcpy(raw, &d, sizeof d);
        b.insert(b.end(), raw, raw + sizeof d);
    }
    b.insert(b.end(), wav.begin(), wav.end());
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_seeds <dir>\n";
        return 2;
    }
    const std::string dir = argv[1];
    for (const char* sub : {"", "/wav", "/aiff", "/tarvio"})
        ::mkdir((dir + sub).c_str(), 0755);
    const std::string scratch = dir + "/scratch.tmp";

    std::vector<Bytes> wavs = {wavFromWriter(scratch, 44100, 16, 2, 200),
                               wavFromWriter(scratch, 8000, 16, 1, 101),
                               wavFromWriter(scratch, 22050, 8, 1, 64),
                               wavFromWriter(scratch, 4096, 16, 3, 90), handMadeWav()};
    for (std::size_t i = 0; i < wavs.size(); ++i)
        save(dir + "/wav/seed" + std::to_string(i), wavs[i]);

    std::vector<Bytes> aiffs = {
        aiffFromWriter(scratch, 44100, 2, 16, 50), aiffFromWriter(scratch, 8000, 1, 8, 33),
        aiffFromWriter(scratch, 96000, 3, 24, 20), aiffFromWriter(scratch, 48000, 1, 32, 16),
        aiffFromWriter(scratch, 1000, 1, 56, 5),   handMadeAiff()};
    for (std::size_t i = 0; i < aiffs.size(); ++i)
        save(dir + "/aiff/seed" + std::to_string(i), aiffs[i]);

    const double circle[7] = {1, 1, 1, 1, 0, 0, 1};
    const double sweep[7] = {0.5, 8, -2, 3, 45, 400, 2};
    const double wild[7] = {1e300, -INFINITY, NAN, 0, -90, 360, -1e-300};
    save(dir + "/tarvio/seed0", programSeed(wavs[0], false, circle));
    save(dir + "/tarvio/seed1", programSeed(wavs[1], true, sweep));
    save(dir + "/tarvio/seed2", programSeed(wavs[3], true, wild));
    save(dir + "/tarvio/seed3", programSeed(wavs[4], false, sweep));
    std::remove(scratch.c_str());
    return 0;
}
