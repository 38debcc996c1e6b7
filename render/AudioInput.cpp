// SPDX-License-Identifier: MIT

#include "render/AudioInput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "cli/Interrupt.h"
#include "wav/WavFile.h"

namespace tarvio::render {

namespace {

// libsndfile's names of the container and the sample encoding.
std::string formatDescription(int format) {
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO minor{};
    minor.format = format & SF_FORMAT_SUBMASK;
    std::string text = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0
                           ? major.name
                           : "unknown container";
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof minor) == 0)
        text += std::string(", ") + minor.name;
    return text;
}

// The bytes of a RIFF/WAVE header before the samples: at least the outer
// block, a 16-byte format block and the data block's head.
constexpr std::int64_t kMinWavHeader = 44;

// The data size a streaming writer leaves in the header.
constexpr unsigned kUnknownSize = 0xFFFFFFFFu;

// Copies in pieces of this size.
constexpr std::size_t kSpoolPiece = 1 << 20;

// Writes all of `n` bytes; false (errno set) when the disk refuses.
bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                interrupt::check();
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string tempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

// The precision of libsndfile's sample encodings: integer bits, or 0 for
// floating point and for lossy codecs, which decode to floating point.
int precisionOf(int subtype) {
    struct Precision {
        int subtype;
        int bits;
    };
    static const Precision kTable[] = {
        {SF_FORMAT_PCM_S8, 8},   {SF_FORMAT_PCM_U8, 8},   {SF_FORMAT_PCM_16, 16},
        {SF_FORMAT_PCM_24, 24},  {SF_FORMAT_PCM_32, 32},  {SF_FORMAT_FLOAT, 0},
        {SF_FORMAT_DOUBLE, 0},   {SF_FORMAT_VORBIS, 0},   {SF_FORMAT_OPUS, 0},
        {SF_FORMAT_MPEG_LAYER_I, 0}, {SF_FORMAT_MPEG_LAYER_II, 0},
        {SF_FORMAT_MPEG_LAYER_III, 0}, {SF_FORMAT_ALAC_20, 20}, {SF_FORMAT_ALAC_24, 24},
        {SF_FORMAT_ALAC_32, 32}, {SF_FORMAT_DWVW_24, 24},
    };
    for (const Precision& p : kTable) {
        if (p.subtype == subtype)
            return p.bits;
    }
    return 16;  // the companded and ADPCM encodings, 12 to 16 bits
}

}  // namespace

std::string sndfileMessage(const char* text) {
    std::string s = text ? text : "";
    for (const std::string prefix : {"System error : ", "Error : "}) {
        if (s.compare(0, prefix.size(), prefix) == 0)
            s.erase(0, prefix.size());
    }
    while (!s.empty() && (s.back() == '.' || s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

AudioInput::AudioInput(const std::string& path) : path_(path), readPath_(path) {
    struct stat in;
    if (path == "-" && ::fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode) &&
        ::access("/proc/self/fd/0", R_OK) == 0) {
        readPath_ = "/proc/self/fd/0";  // a file redirected in: read it where it is
    } else if (path == "-") {
        spool(STDIN_FILENO);
    } else {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            const int err = errno;
            throw std::runtime_error(path + ": " + std::strerror(err));
        }
        if (S_ISDIR(st.st_mode))
            throw std::runtime_error(path + ": " + std::strerror(EISDIR));
        if (!S_ISREG(st.st_mode)) {
            int fd;
            // Opening a FIFO waits for its writer; a stop signal cuts it short.
            while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
                interrupt::check();
            if (fd < 0) {
                const int err = errno;
                throw std::runtime_error(path + ": " + std::strerror(err));
            }
            try {
                spool(fd);
            } catch (...) {
                ::close(fd);
                throw;
            }
            ::close(fd);
        }
    }
    if (!openWithWavReader())
        openWithLibsndfile();
}

// Copies everything from `fd` to a new temporary file, which the readers then
// open. Where the system shows open files under /proc, the file loses its
// name at once, so nothing is left behind even if the process is killed;
// elsewhere it is removed at the end, and by the signal handler.
void AudioInput::spool(int fd) {
    std::string pattern = tempDirectory() + "/.tarvio-render-input-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int out = ::mkostemp(name.data(), O_CLOEXEC);
    if (out < 0) {
        const int err = errno;
        throw std::runtime_error(path_ + ": cannot copy the input to " + tempDirectory() + ": " +
                                 std::strerror(err));
    }
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(out);
    spool_.fd = out;
    if (::access(byDescriptor.c_str(), R_OK) == 0) {
        ::unlink(name.data());
        readPath_ = byDescriptor;
    } else {
        spool_.name = name.data();
        spool_.scratch = interrupt::addScratchFile(spool_.name.c_str());
        readPath_ = spool_.name;
    }
    std::vector<char> piece(kSpoolPiece);
    for (;;) {
        interrupt::check();
        const ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            throw std::runtime_error(path_ + ": " + std::strerror(err));
        }
        if (!writeAll(out, piece.data(), static_cast<std::size_t>(n))) {
            const int err = errno;
            throw std::runtime_error(path_ + ": cannot copy the input to " + tempDirectory() +
                                     ": " + std::strerror(err));
        }
    }
    interrupt::check();
}

// The project's reader first: it takes exactly the 16-bit PCM WAV files
// tarvio takes, with their quirks (cut data, odd pad bytes, block alignments
// that do not match), and reads them the same way.
bool AudioInput::openWithWavReader() {
    try {
        auto wav = std::make_unique<WavInFile>(readPath_.c_str());
        if (wav->getNumBits() != 16 || wav->getNumChannels() < 1)
            return false;
        wav_ = std::move(wav);
    } catch (const std::exception&) {
        return false;  // not a WAV file the project reads: libsndfile may
    }
    channels_ = wav_->getNumChannels();
    rate_ = static_cast<int>(wav_->getSampleRate());
    if (rate_ < 1)
        throw std::runtime_error(path_ + ": the header gives a sample rate of 0 Hz");
    frames_ = wav_->getNumSamples();
    description_ = "WAV (Microsoft), Signed 16 bit PCM";
    countWavFrames();
    return true;
}

// A writer that streams (ffmpeg to a pipe) cannot go back to fill in the
// data size and leaves 0xFFFFFFFF, "unknown". The sweeps must span the frames
// that are really there, so such a file is read through once and counted. A
// size that is merely too large (a cut file) is the length the file was meant
// to have, and the sweeps follow it as tarvio's do.
//
// Either way, what a read gives is held to what the file's size can hold
// past the smallest header.
void AudioInput::countWavFrames() {
    heldFrames_ = frames_;
    struct stat st;
    if (::stat(readPath_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    const std::int64_t frameBytes = wav_->getBytesPerSample();
    if (frameBytes > 0)
        heldFrames_ = std::min<std::int64_t>(
            frames_, std::max<std::int64_t>(0, st.st_size - kMinWavHeader) / frameBytes);
    if (wav_->getDataSizeInBytes() != kUnknownSize || frameBytes <= 0 ||
        frames_ * frameBytes + kMinWavHeader <= st.st_size)
        return;
    std::vector<short> samples(65536);
    std::int64_t count = 0;
    while (!wav_->eof()) {
        interrupt::check();
        count += wav_->read(samples.data(), static_cast<int>(samples.size()));
        if (wav_->hasReadError())
            throw std::runtime_error(path_ + ": read error");
    }
    frames_ = (count + channels_ - 1) / channels_;
    heldFrames_ = frames_;
    wav_->rewind();
}

void AudioInput::openWithLibsndfile() {
    SF_INFO info{};
    sf_ = sf_open(readPath_.c_str(), SFM_READ, &info);
    if (!sf_)
        throw std::runtime_error(path_ + ": " + sndfileMessage(sf_strerror(nullptr)));
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(sf_);
        sf_ = nullptr;
        throw std::runtime_error(path_ + ": no channels or no sample rate");
    }
    channels_ = info.channels;
    rate_ = info.samplerate;
    frames_ = info.frames;
    heldFrames_ = frames_;
    description_ = formatDescription(info.format);
    precisionBits_ = precisionOf(info.format & SF_FORMAT_SUBMASK);
    floatingPoint_ = precisionBits_ == 0;
    sfEnded_ = info.frames == 0;
}

AudioInput::~AudioInput() {
    if (sf_)
        sf_close(sf_);
}

AudioInput::SpoolFile::~SpoolFile() {
    if (fd >= 0)
        ::close(fd);
    if (!name.empty()) {
        ::unlink(name.c_str());
        interrupt::releaseScratchFile(scratch);
    }
}

int AudioInput::read(double* buffer, int samples) {
    if (wav_) {
        const int n = wav_->read(buffer, samples);
        if (wav_->hasReadError())
            throw std::runtime_error(path_ + ": read error");
        return n;
    }
    // Whole frames only: libsndfile counts samples but reads frames.
    const sf_count_t wanted = samples - samples % channels_;
    const sf_count_t n = sf_read_double(sf_, buffer, wanted);
    if (n < wanted) {
        if (sf_error(sf_) != SF_ERR_NO_ERROR)
            throw std::runtime_error(path_ + ": read error: " + sndfileMessage(sf_strerror(sf_)));
        sfEnded_ = true;
    }
    return static_cast<int>(n);
}

void AudioInput::rewind() {
    if (wav_) {
        wav_->rewind();
        return;
    }
    if (sf_seek(sf_, 0, SEEK_SET) != 0)
        throw std::runtime_error(path_ + ": cannot go back to the start: " +
                                 sndfileMessage(sf_strerror(sf_)));
    sfEnded_ = frames_ == 0;
}

bool AudioInput::eof() const {
    return wav_ ? wav_->eof() != 0 : sfEnded_;
}

}  // namespace tarvio::render
