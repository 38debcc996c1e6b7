// SPDX-License-Identifier: MIT
#include "render/Binaural.h"

#include <kiss_fft.h>
#include <mysofa.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace tarvio::render {

namespace {

using Responses = std::vector<std::vector<std::vector<double>>>;

constexpr double kPi = 3.14159265358979323846;
// Smaller partitions only add FFT calls per frame.
constexpr int kSmallestPartition = 32;

// libmysofa's result codes in words. Codes below its own range are errno
// values from opening or reading the file.
std::string sofaError(int err) {
    switch (err) {
        case MYSOFA_INTERNAL_ERROR:
            return "libmysofa failed inside";
        case MYSOFA_INVALID_FORMAT:
            return "not a SOFA file (no HDF5 data)";
        case MYSOFA_UNSUPPORTED_FORMAT:
            return "a kind of HDF5 data libmysofa does not read";
        case MYSOFA_NO_MEMORY:
            return "out of memory";
        case MYSOFA_READ_ERROR:
            return "cannot be read to the end (cut short or damaged?)";
        case MYSOFA_INVALID_ATTRIBUTES:
            return "not an HRIR set (attributes missing or wrong)";
        case MYSOFA_INVALID_DIMENSIONS:
            return "the dimensions of the HRIR data do not fit";
        case MYSOFA_INVALID_DIMENSION_LIST:
            return "the dimension list of a variable is wrong";
        case MYSOFA_INVALID_COORDINATE_TYPE:
            return "an unknown kind of coordinates";
        case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED:
            return "emitter positions that change per measurement are not supported";
        case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED:
            return "delays in a layout other than per measurement and ear are not supported";
        case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED:
            return "more than one sample rate in one set is not supported";
        case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED:
            return "ear positions that change per measurement are not supported";
        case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED:
            return "ear positions must be Cartesian";
        case MYSOFA_INVALID_RECEIVER_POSITIONS:
            return "the ear positions are not left and right";
        case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED:
            return "source positions that change per measurement are not supported";
        default:
            break;
    }
    if (err > 0 && err < MYSOFA_INVALID_FORMAT) {
        return std::strerror(err);
    }
    return "libmysofa error " + std::to_string(err);
}

struct SofaClose {
    void operator()(MYSOFA_EASY* easy) const { mysofa_close(easy); }
};
using Sofa = std::unique_ptr<MYSOFA_EASY, SofaClose>;

// libmysofa may be entered by one thread at a time.
std::mutex& sofaMutex() {
    static std::mutex m;
    return m;
}

// Opens the set, resampled to `sampleRate`, as the file has it (no loudness
// normalisation: the gain is ours). `length` receives the HRIR length.
Sofa openSofa(const std::string& file, int sampleRate, int& length) {
    // libmysofa opens a folder and then finds no SOFA data in it.
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) {
        throw std::runtime_error(file + ": " + std::strerror(EISDIR));
    }
    int err = MYSOFA_OK;
    length = 0;
    Sofa sofa(mysofa_open_no_norm(file.c_str(), static_cast<float>(sampleRate), &length, &err));
    if (!sofa || err != MYSOFA_OK) {
        throw std::runtime_error(file + ": " +
                                 sofaError(err == MYSOFA_OK ? MYSOFA_INTERNAL_ERROR : err));
    }
    if (length < 1 || length > (1 << 20)) {
        throw std::runtime_error(file + ": HRIRs of " + std::to_string(length) +
                                 " samples are not usable");
    }
    return sofa;
}

// The HRIR pair from `azimuth` degrees (0 front, positive to the left) at
// ear height. SOFA's Cartesian axes are x to the front, y to the left, z
// up, so the azimuth turns from x toward y. A delay the file keeps apart
// from the responses becomes leading zeros.
std::vector<std::vector<double>> hrirPair(MYSOFA_EASY* sofa, int length, int sampleRate,
                                          double azimuth) {
    const double a = azimuth * kPi / 180.0;
    std::vector<float> ir[2] = {std::vector<float>(length), std::vector<float>(length)};
    float delay[2] = {0.0f, 0.0f};
    mysofa_getfilter_float(sofa, static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)),
                           0.0f, ir[0].data(), ir[1].data(), &delay[0], &delay[1]);
    std::vector<std::vector<double>> pair(2);
    for (int ear = 0; ear < 2; ++ear) {
        const long lead = std::max(0L, std::lround(delay[ear] * sampleRate));
        pair[ear].assign(static_cast<std::size_t>(lead), 0.0);
        pair[ear].insert(pair[ear].end(), ir[ear].begin(), ir[ear].end());
    }
    return pair;
}

double energy(const std::vector<double>& h) {
    double sum = 0;
    for (double v : h) {
        sum += v * v;
    }
    return sum;
}

// Every loudspeaker's pair, scaled so that the front pair's energy is 1 on
// average over both ears; the gain goes to `gain`.
Responses loadResponses(const std::string& file, const SpeakerLayout& layout, int sampleRate,
                        double& gain) {
    std::lock_guard<std::mutex> lock(sofaMutex());
    int length = 0;
    Sofa sofa = openSofa(file, sampleRate, length);
    const std::vector<std::vector<double>> front = hrirPair(sofa.get(), length, sampleRate, 0.0);
    const double frontEnergy = (energy(front[0]) + energy(front[1])) / 2;
    if (!(frontEnergy > 0)) {
        throw std::runtime_error(file + ": the HRIRs straight ahead are silent");
    }
    gain = 1.0 / std::sqrt(frontEnergy);
    Responses responses(static_cast<std::size_t>(layout.size()));
    for (int c = 0; c < layout.size(); ++c) {
        responses[c].resize(2);
        if (layout[c].position) {
            responses[c] = hrirPair(sofa.get(), length, sampleRate, layout[c].position->azimuth);
            for (auto& h : responses[c]) {
                for (double& v : h) {
                    v *= gain;
                }
            }
        }
    }
    return responses;
}

}  // namespace

Binaural::Loaded Binaural::load(const std::string& file, const SpeakerLayout& layout,
                                int sampleRate, int maxBlockFrames) {
    if (sampleRate < 1) {
        throw std::invalid_argument("binaural output needs a sample rate of at least 1 Hz");
    }
    if (maxBlockFrames < 1) {
        throw std::invalid_argument("binaural output needs blocks of at least one frame");
    }
    const bool directed = std::any_of(layout.speakers().begin(), layout.speakers().end(),
                                      [](const Speaker& s) { return s.position.has_value(); });
    if (!directed) {
        throw std::invalid_argument("layout " + layout.name() +
                                    " has no loudspeaker with a direction to hear");
    }
    Loaded loaded;
    loaded.responses = loadResponses(file, layout, sampleRate, loaded.gain);
    return loaded;
}

namespace {

std::vector<int> directedChannels(const SpeakerLayout& layout) {
    std::vector<int> channels;
    for (int c = 0; c < layout.size(); ++c) {
        if (layout[c].position) {
            channels.push_back(c);
        }
    }
    return channels;
}

Responses convolverFilters(const Responses& responses, const std::vector<int>& channels) {
    Responses filters;
    for (int c : channels) {
        filters.push_back(responses[c]);
    }
    return filters;
}

// The partition: the block size, moved up to a size KissFFT splits into
// factors 2, 3 and 5.
int partitionFor(int maxBlockFrames) {
    return kiss_fft_next_fast_size(std::max(maxBlockFrames, kSmallestPartition));
}

}  // namespace

Binaural::Binaural(const std::string& sofaFile, const SpeakerLayout& layout, int sampleRate,
                   int maxBlockFrames)
    : Binaural(sofaFile, layout, load(sofaFile, layout, sampleRate, maxBlockFrames),
               maxBlockFrames) {}

Binaural::Binaural(const std::string& sofaFile, const SpeakerLayout& layout, Loaded loaded,
                   int maxBlockFrames)
    : sofaFile_(sofaFile),
      stride_(layout.size()),
      gain_(loaded.gain),
      responses_(std::move(loaded.responses)),
      channels_(directedChannels(layout)),
      convolver_(convolverFilters(responses_, channels_), partitionFor(maxBlockFrames)) {}

void Binaural::process(const double* speakers, int frames, double* stereo) {
    convolver_.process(speakers, stride_, channels_.data(), frames, stereo);
}

void Binaural::finish(double* stereo) {
    convolver_.process(nullptr, 0, channels_.data(), tailFrames(), stereo);
    convolver_.reset();
}

double Binaural::gainDb() const {
    return 20.0 * std::log10(gain_);
}

const std::vector<double>& Binaural::impulseResponse(int channel, int ear) const {
    return responses_.at(static_cast<std::size_t>(channel)).at(static_cast<std::size_t>(ear));
}

}  // namespace tarvio::render
