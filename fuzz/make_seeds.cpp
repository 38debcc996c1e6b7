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
#include "wav/WavFile.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void save(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void le(Bytes& b, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void be(Bytes& b, std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void tag(Bytes& b, const char* t) {
    b.insert(b.end(), t, t + 4);
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
    Bytes b;
    tag(b, "RIFF");
    le(b, 0, 4);
    tag(b, "WAVE");
    tag(b, "LIST");
    le(b, 3, 4);
    b.insert(b.end(), {'a', 'b', 'c', 0});
    tag(b, "fmt ");
    le(b, 18, 4);
    le(b, 1, 2);
    le(b, 2, 2);
    le(b, 8000, 4);
    le(b, 32000, 4);
    le(b, 4, 2);
    le(b, 16, 2);
    le(b, 0, 2);
    tag(b, "data");
    le(b, 16, 4);
    for (int i = 0; i < 16; ++i)
        b.push_back(static_cast<unsigned char>(i * 17));
    b[4] = static_cast<unsigned char>(b.size() - 8);
    return b;
}

// An AIFF file whose SSND chunk comes before its COMM chunk, with a comment
// chunk of odd size in front.
Bytes handMadeAiff() {
    Bytes ssnd, comm, b;
    tag(ssnd, "SSND");
    be(ssnd, 8 + 8, 4);
    be(ssnd, 0, 4);
    be(ssnd, 0, 4);
    for (int i = 0; i < 8; ++i)
        ssnd.push_back(static_cast<unsigned char>(i * 31));
    tag(comm, "COMM");
    be(comm, 18, 4);
    be(comm, 2, 2);
    be(comm, 2, 4);
    be(comm, 16, 2);
    const unsigned char rate[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    comm.insert(comm.end(), rate, rate + 10);
    tag(b, "FORM");
    be(b, 0, 4);
    tag(b, "AIFF");
    tag(b, "NAME");
    be(b, 3, 4);
    b.insert(b.end(), {'a', 'b', 'c', 0});
    b.insert(b.end(), ssnd.begin(), ssnd.end());
    b.insert(b.end(), comm.begin(), comm.end());
    std::uint32_t form = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i)
        b[4 + i] = static_cast<unsigned char>(form >> (8 * (3 - i)));
    return b;
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
