// SPDX-License-Identifier: MIT
#include "render/Binaural.h"

#include <mysofa.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cli/Interrupt.h"
#include "render/RealFft.h"

namespace tarvio::render {

namespace {

using Responses = std::vector<std::vector<std::vector<double>>>;

constexpr double kPi = 3.14159265358979323846;
// How often the caller looks at the stop signals while a set loads.
constexpr std::chrono::milliseconds kStopPoll(20);

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

// The codes of the resampler inside libmysofa (Speex's RESAMPLER_ERR_*),
// which its resampling passes on as they are.
std::string resamplerError(int err) {
    switch (err) {
        case 1:
            return "out of memory while resampling";
        case 3:
            return "libmysofa's resampler refuses these rates";
        default:
            return "libmysofa's resampler failed (error " + std::to_string(err) + ")";
    }
}

std::runtime_error fault(const std::string& file, const std::string& cause) {
    return std::runtime_error(file + ": " + cause);
}

// A number as a person writes it: 44100, 0.5, 1e+06, inf.
std::string number(double v) {
    std::ostringstream text;
    text.precision(10);
    text << v;
    return text.str();
}

struct HrtfFree {
    void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};
using Hrtf = std::unique_ptr<MYSOFA_HRTF, HrtfFree>;
struct LookupFree {
    void operator()(MYSOFA_LOOKUP* l) const { mysofa_lookup_free(l); }
};
struct NeighborhoodFree {
    void operator()(MYSOFA_NEIGHBORHOOD* n) const { mysofa_neighborhood_free(n); }
};
struct MallocFree {
    void operator()(float* p) const { std::free(p); }
};
using MallocFloats = std::unique_ptr<float, MallocFree>;

// libmysofa may be entered by one thread at a time.
std::mutex& sofaMutex() {
    static std::mutex m;
    return m;
}

// The set as the file has it, checked by libmysofa as an HRIR set.
Hrtf readSet(const std::string& file) {
    // libmysofa opens a folder and then finds no SOFA data in it.
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) {
        throw fault(file, std::strerror(EISDIR));
    }
    int err = MYSOFA_OK;
    Hrtf hrtf(mysofa_load(file.c_str(), &err));
    if (!hrtf || err != MYSOFA_OK) {
        throw fault(file, sofaError(err == MYSOFA_OK ? MYSOFA_INTERNAL_ERROR : err));
    }
    err = mysofa_check(hrtf.get());
    if (err != MYSOFA_OK) {
        throw fault(file, sofaError(err));
    }
    return hrtf;
}

// The dimensions the steps below rely on, and the count of measurements.
void checkShape(const MYSOFA_HRTF& h, const std::string& file) {
    const std::uint64_t m = h.M, r = h.R, n = h.N;
    if (h.R != 2 || h.M < 1 || h.N < 1 || h.C != 3 || h.DataIR.elements != m * r * n ||
        h.SourcePosition.elements != std::uint64_t{h.C} * m) {
        throw fault(file, sofaError(MYSOFA_INVALID_DIMENSIONS));
    }
    if (h.DataDelay.elements != r && h.DataDelay.elements != m * r) {
        throw fault(file, sofaError(MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED));
    }
    if (h.DataSamplingRate.elements != 1) {
        throw fault(file, sofaError(MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED));
    }
    if (h.M > kMaxSofaMeasurements) {
        throw fault(file, std::to_string(h.M) + " measurements, more than the " +
                              std::to_string(kMaxSofaMeasurements) + " this program takes");
    }
}

// Every response sample finite, every delay finite and not negative.
void checkValues(const MYSOFA_HRTF& h, const std::string& file) {
    const float* ir = h.DataIR.values;
    const float* bad =
        std::find_if(ir, ir + h.DataIR.elements, [](float v) { return !std::isfinite(v); });
    if (bad != ir + h.DataIR.elements) {
        throw fault(file, "Data.IR holds " + number(*bad) + ", not a finite sample value");
    }
    const float* delay = h.DataDelay.values;
    bad = std::find_if(delay, delay + h.DataDelay.elements,
                       [](float v) { return !(std::isfinite(v) && v >= 0); });
    if (bad != delay + h.DataDelay.elements) {
        throw fault(file, "Data.Delay holds " + number(*bad) + ", not a delay in samples");
    }
}

// The set's rate, and whether its HRIRs can be resampled to `rate`; the
// factor, computed as libmysofa does (1 when no resampling is needed).
float resampleFactor(const MYSOFA_HRTF& h, const std::string& file, int rate) {
    const float setRate = h.DataSamplingRate.values[0];
    if (!(std::isfinite(setRate) && setRate > 0)) {
        throw fault(file, "Data.SamplingRate is " + number(setRate) + " Hz, not a sample rate");
    }
    if (static_cast<float>(rate) == setRate) {
        return 1.0f;
    }
    if (rate < kMinResampledRate) {
        throw fault(file, "libmysofa resamples HRIRs to " + std::to_string(kMinResampledRate) +
                              " Hz or more, not to the input's " + std::to_string(rate) + " Hz");
    }
    const double ratio = rate / static_cast<double>(setRate);
    if (ratio > kMaxSofaRateRatio || ratio < 1 / kMaxSofaRateRatio) {
        throw fault(file, "HRIRs sampled at " + number(setRate) + " Hz are too far from " +
                              std::to_string(rate) + " Hz to resample (a factor of " +
                              number(kMaxSofaRateRatio) + " at most, up or down)");
    }
    return static_cast<float>(rate) / setRate;
}

// The longest response the set can give at the signal's rate: the longest
// delay and the HRIR length, both scaled by `factor` as libmysofa does.
void checkLength(const MYSOFA_HRTF& h, const std::string& file, float factor) {
    const double hrir = std::ceil(static_cast<float>(h.N) * factor);
    const float* delays = h.DataDelay.values;
    const double delay =
        std::ceil(*std::max_element(delays, delays + h.DataDelay.elements) * factor);
    if (hrir + delay > kMaxHrirFrames) {
        throw fault(file, "a delay of " + number(delay) + " samples and HRIRs of " + number(hrir) +
                              " make responses longer than " + std::to_string(kMaxHrirFrames) +
                              " samples, the most this program takes");
    }
}

// Where a direction is found in the set: its point (as libmysofa's lookup
// leaves it), the nearest measurement and up to six neighbours (-1 for none).
struct Direction {
    float point[3];
    int nearest;
    int neighbors[6];
};

// Where a loudspeaker stands, as the set is searched for it.
struct Heading {
    std::string label;
    double azimuth;    // degrees, 0 front, positive to the left
    double elevation;  // degrees above ear height
};

// The unit vector of a heading in SOFA's Cartesian axes: x to the front, y
// to the left, z up, so the azimuth turns from x toward y. At elevation 0
// the factors cos 0 = 1 and sin 0 = 0 leave the horizontal point exact.
void unitVector(const Heading& h, float point[3]) {
    const double a = h.azimuth * kPi / 180.0, e = h.elevation * kPi / 180.0;
    point[0] = static_cast<float>(std::cos(a) * std::cos(e));
    point[1] = static_cast<float>(std::sin(a) * std::cos(e));
    point[2] = static_cast<float>(std::sin(e));
}

// The measurement of the set nearest to the unit vector `point` by
// great-circle distance, and that distance in degrees.
struct Nearest {
    int measurement = -1;
    double degrees = 180.0;
};

Nearest nearestMeasurement(const MYSOFA_HRTF& h, const float point[3]) {
    Nearest nearest;
    double best = -2.0;
    for (unsigned m = 0; m < h.M; ++m) {
        const float* p = h.SourcePosition.values + 3 * std::size_t{m};
        const double norm =
            std::sqrt(double{p[0]} * p[0] + double{p[1]} * p[1] + double{p[2]} * p[2]);
        if (!(norm > 0))
            continue;
        const double cosine =
            (p[0] * double{point[0]} + p[1] * double{point[1]} + p[2] * double{point[2]}) / norm;
        if (cosine > best) {
            best = cosine;
            nearest.measurement = static_cast<int>(m);
        }
    }
    nearest.degrees = std::acos(std::clamp(best, -1.0, 1.0)) * 180.0 / kPi;
    return nearest;
}

// A loudspeaker above or below the horizon takes the measurement nearest
// to it, which must lie within kMaxHrirAngle: a set that does not cover it
// is refused, naming it. The direction becomes the measurement's own, so
// that libmysofa takes its response unblended.
Direction measuredDirection(const MYSOFA_HRTF& h, const std::string& file, const Heading& heading,
                            const float point[3]) {
    const Nearest nearest = nearestMeasurement(h, point);
    if (nearest.measurement < 0 || nearest.degrees > kMaxHrirAngle) {
        throw fault(file, "no measurement within " + number(kMaxHrirAngle) +
                              " degrees of loudspeaker " + heading.label + " (azimuth " +
                              number(heading.azimuth) + ", elevation " + number(heading.elevation) +
                              "): the nearest is " + number(std::round(nearest.degrees * 10) / 10) +
                              " degrees away");
    }
    Direction d{{}, nearest.measurement, {-1, -1, -1, -1, -1, -1}};
    std::copy_n(h.SourcePosition.values + 3 * std::size_t{static_cast<unsigned>(d.nearest)}, 3,
                d.point);
    return d;
}

// Looks up every heading in the set. One on the horizon: its nearest
// measurement and that measurement's neighbours, whose responses libmysofa
// interpolates for it; one above or below: see measuredDirection. Turns the
// set's positions Cartesian.
std::vector<Direction> findDirections(MYSOFA_HRTF* h, const std::string& file,
                                      const std::vector<Heading>& headings) {
    mysofa_tocartesian(h);
    std::unique_ptr<MYSOFA_LOOKUP, LookupFree> lookup(mysofa_lookup_init(h));
    if (!lookup) {
        throw fault(file, sofaError(MYSOFA_INTERNAL_ERROR));
    }
    std::unique_ptr<MYSOFA_NEIGHBORHOOD, NeighborhoodFree> neighborhood(
        mysofa_neighborhood_init_withstepdefine(h, lookup.get(), MYSOFA_DEFAULT_NEIGH_STEP_ANGLE,
                                                MYSOFA_DEFAULT_NEIGH_STEP_RADIUS));
    if (!neighborhood) {
        throw fault(file, sofaError(MYSOFA_NO_MEMORY));
    }
    std::vector<Direction> found;
    for (const Heading& heading : headings) {
        Direction d{{}, 0, {}};
        unitVector(heading, d.point);
        if (heading.elevation != 0.0) {
            found.push_back(measuredDirection(*h, file, heading, d.point));
            continue;
        }
        d.nearest = mysofa_lookup(lookup.get(), d.point);
        if (d.nearest < 0 || d.nearest >= static_cast<int>(h->M)) {
            throw fault(file, sofaError(MYSOFA_INTERNAL_ERROR));
        }
        const int* near = mysofa_neighborhood(neighborhood.get(), d.nearest);
        std::copy(near, near + 6, d.neighbors);
        found.push_back(d);
    }
    return found;
}

// The measurements the directions use, as a set of their own with the
// directions renumbered into it: its positions, responses and delays, and
// the rate. libmysofa resamples it and interpolates in it as in the whole
// set, at the cost of these measurements alone.
class UsedMeasurements {
  public:
    UsedMeasurements(const MYSOFA_HRTF& whole, std::vector<Direction>& directions);
    // set_ points into the object itself.
    UsedMeasurements(const UsedMeasurements&) = delete;
    UsedMeasurements& operator=(const UsedMeasurements&) = delete;
    // Throws std::runtime_error naming `file` when libmysofa fails.
    void resample(const std::string& file, int rate);
    // The pair of `d`, a direction renumbered by the constructor, with the
    // delays in front.
    std::vector<std::vector<double>> pair(Direction d);

  private:
    MYSOFA_HRTF set_{};
    std::vector<float> positions_, delays_, fir_;
    float rate_;
    MallocFloats ir_;  // libmysofa's resampling frees and allocates it
};

UsedMeasurements::UsedMeasurements(const MYSOFA_HRTF& whole, std::vector<Direction>& directions)
    : rate_(whole.DataSamplingRate.values[0]) {
    std::vector<int> index(whole.M, -1), used;
    auto renumber = [&](int& m) {
        if (m < 0) {
            return;
        }
        if (index[m] < 0) {
            index[m] = static_cast<int>(used.size());
            used.push_back(m);
        }
        m = index[m];
    };
    for (Direction& d : directions) {
        renumber(d.nearest);
        std::for_each(d.neighbors, d.neighbors + 6, renumber);
    }
    const bool delayPerMeasurement = whole.DataDelay.elements > whole.R;
    // Delays per measurement stay so with two measurements at least.
    if (delayPerMeasurement && used.size() < 2) {
        used.push_back(used.front());
    }
    const std::size_t size = std::size_t{whole.R} * whole.N;
    ir_.reset(static_cast<float*>(std::malloc(used.size() * size * sizeof(float))));
    if (!ir_) {
        throw std::bad_alloc();
    }
    if (!delayPerMeasurement) {
        delays_.assign(whole.DataDelay.values, whole.DataDelay.values + whole.R);
    }
    for (std::size_t i = 0; i < used.size(); ++i) {
        const std::size_t m = static_cast<std::size_t>(used[i]);
        std::copy_n(whole.DataIR.values + m * size, size, ir_.get() + i * size);
        positions_.insert(positions_.end(), whole.SourcePosition.values + 3 * m,
                          whole.SourcePosition.values + 3 * m + 3);
        if (delayPerMeasurement) {
            delays_.insert(delays_.end(), whole.DataDelay.values + m * whole.R,
                           whole.DataDelay.values + (m + 1) * whole.R);
        }
    }
    set_.I = 1;
    set_.C = 3;
    set_.R = whole.R;
    set_.E = whole.E;
    set_.N = whole.N;
    set_.M = static_cast<unsigned>(used.size());
    set_.SourcePosition = {positions_.data(), static_cast<unsigned>(positions_.size()), nullptr};
    set_.DataIR = {ir_.get(), static_cast<unsigned>(used.size() * size), nullptr};
    set_.DataDelay = {delays_.data(), static_cast<unsigned>(delays_.size()), nullptr};
    set_.DataSamplingRate = {&rate_, 1, nullptr};
}

void UsedMeasurements::resample(const std::string& file, int rate) {
    if (static_cast<float>(rate) != rate_) {
        ir_.release();
        const int err = mysofa_resample(&set_, static_cast<float>(rate));
        ir_.reset(set_.DataIR.values);
        if (err != MYSOFA_OK) {
            throw fault(file, err > 0 && err < MYSOFA_INVALID_FORMAT ? resamplerError(err)
                                                                     : sofaError(err));
        }
    }
    fir_.assign(std::size_t{set_.R} * set_.N, 0.0f);
}

std::vector<std::vector<double>> UsedMeasurements::pair(Direction d) {
    float delay[2] = {0.0f, 0.0f};
    const float* ir =
        mysofa_interpolate(&set_, d.point, d.nearest, d.neighbors, fir_.data(), delay);
    // libmysofa weighs a delay the whole set shares as the nearest
    // measurement's alone, which shortens it between measurements: it holds
    // for every direction.
    if (set_.DataDelay.elements == set_.R) {
        std::copy_n(set_.DataDelay.values, 2, delay);
    }
    std::vector<std::vector<double>> pair(2);
    for (int ear = 0; ear < 2; ++ear) {
        const long lead = std::max(0L, std::lround(delay[ear]));
        pair[ear].assign(static_cast<std::size_t>(lead), 0.0);
        pair[ear].insert(pair[ear].end(), ir + ear * set_.N, ir + (ear + 1) * set_.N);
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

// The pairs at `headings` from the set in `file`, resampled to `rate`.
Responses loadPairs(const std::string& file, int rate, const std::vector<Heading>& headings) {
    std::lock_guard<std::mutex> lock(sofaMutex());
    Hrtf whole = readSet(file);
    checkShape(*whole, file);
    checkValues(*whole, file);
    checkLength(*whole, file, resampleFactor(*whole, file, rate));
    std::vector<Direction> directions = findDirections(whole.get(), file, headings);
    UsedMeasurements used(*whole, directions);
    whole.reset();
    used.resample(file, rate);
    Responses pairs;
    for (const Direction& d : directions) {
        pairs.push_back(used.pair(d));
    }
    return pairs;
}

}  // namespace

namespace {

// Runs `work` on a thread of its own and waits for its result, looking at the
// stop signals meanwhile: when one is pending it throws Interrupted and
// leaves the thread to finish by itself (the thread keeps what it shares
// alive). The thread holds the stop signals back, so that they reach the
// caller and leave the thread's reads alone.
template <class Result, class Work>
Result runStoppable(Work work) {
    struct Shared {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        std::optional<Result> result;
        std::exception_ptr error;
    };
    auto shared = std::make_shared<Shared>();
    {
        interrupt::Hold hold;  // the thread starts with the caller's signal mask
        std::thread([shared, work = std::move(work)]() mutable {
            std::optional<Result> result;
            std::exception_ptr error;
            try {
                result.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
            // Moved, so that nothing of the result or the error is left to
            // this thread once the lock is released.
            std::lock_guard<std::mutex> lock(shared->m);
            shared->result = std::move(result);
            shared->error = std::move(error);
            shared->finished = true;
            shared->done.notify_all();
        }).detach();
    }
    std::unique_lock<std::mutex> lock(shared->m);
    while (!shared->done.wait_for(lock, kStopPoll, [&] { return shared->finished; })) {
        interrupt::check();
    }
    if (shared->error) {
        std::rethrow_exception(shared->error);
    }
    return std::move(*shared->result);
}

}  // namespace

HrirSet::HrirSet(std::string sofaFile, int sampleRate, Responses responses, double gain)
    : sofaFile_(std::move(sofaFile)),
      sampleRate_(sampleRate),
      responses_(std::move(responses)),
      gain_(gain),
      length_(0) {
    for (const auto& pair : responses_) {
        for (const auto& h : pair) {
            length_ = std::max(length_, static_cast<int>(h.size()));
        }
    }
}

std::shared_ptr<const HrirSet> HrirSet::load(const std::string& file, const SpeakerLayout& layout,
                                             int sampleRate) {
    if (sampleRate < 1) {
        throw std::invalid_argument("binaural output needs a sample rate of at least 1 Hz");
    }
    // The pair straight ahead first: it sets the gain.
    std::vector<Heading> headings{{"straight ahead", 0.0, 0.0}};
    for (const Speaker& s : layout.speakers()) {
        if (s.position) {
            headings.push_back({s.label, s.position->azimuth, s.position->elevation});
        }
    }
    if (headings.size() == 1) {
        throw std::invalid_argument("layout " + layout.name() +
                                    " has no loudspeaker with a direction to hear");
    }
    Responses pairs = runStoppable<Responses>(
        [file, sampleRate, headings] { return loadPairs(file, sampleRate, headings); });
    const double frontEnergy = (energy(pairs[0][0]) + energy(pairs[0][1])) / 2;
    if (!(frontEnergy > 0)) {
        throw fault(file, "the HRIRs straight ahead are silent");
    }
    const double gain = 1.0 / std::sqrt(frontEnergy);
    Responses responses(static_cast<std::size_t>(layout.size()),
                        std::vector<std::vector<double>>(2));
    for (int c = 0, next = 1; c < layout.size(); ++c) {
        if (layout[c].position) {
            responses[c] = std::move(pairs[next++]);
            for (auto& h : responses[c]) {
                for (double& v : h) {
                    v *= gain;
                    if (!std::isfinite(v)) {
                        throw fault(file, "its HRIRs overflow when resampled or interpolated");
                    }
                }
            }
        }
    }
    return std::shared_ptr<const HrirSet>(
        new HrirSet(file, sampleRate, std::move(responses), gain));
}

double HrirSet::gainDb() const {
    return 20.0 * std::log10(gain_);
}

const std::vector<double>& HrirSet::impulseResponse(int channel, int ear) const {
    return responses_.at(static_cast<std::size_t>(channel)).at(static_cast<std::size_t>(ear));
}

namespace {

std::shared_ptr<const HrirSet> usable(std::shared_ptr<const HrirSet> hrirs, int maxBlockFrames) {
    if (!hrirs) {
        throw std::invalid_argument("binaural output needs a set of HRIRs");
    }
    if (maxBlockFrames < 1) {
        throw std::invalid_argument("binaural output needs blocks of at least one frame");
    }
    return hrirs;
}

// The channels with a direction: those with responses.
std::vector<int> directedChannels(const HrirSet& hrirs) {
    std::vector<int> channels;
    for (int c = 0; c < hrirs.channels(); ++c) {
        if (!hrirs.impulseResponse(c, 0).empty()) {
            channels.push_back(c);
        }
    }
    return channels;
}

Responses convolverFilters(const HrirSet& hrirs, const std::vector<int>& channels) {
    Responses filters;
    for (int c : channels) {
        filters.push_back({hrirs.impulseResponse(c, 0), hrirs.impulseResponse(c, 1)});
    }
    return filters;
}

}  // namespace

Binaural::Binaural(std::shared_ptr<const HrirSet> hrirs, int maxBlockFrames)
    : hrirs_(usable(std::move(hrirs), maxBlockFrames)),
      stride_(hrirs_->channels()),
      channels_(directedChannels(*hrirs_)),
      convolver_(convolverFilters(*hrirs_, channels_), fft::partitionFor(maxBlockFrames)) {}

Binaural::Binaural(const std::string& sofaFile, const SpeakerLayout& layout, int sampleRate,
                   int maxBlockFrames)
    : Binaural(HrirSet::load(sofaFile, layout, sampleRate), maxBlockFrames) {}

void Binaural::process(const double* speakers, int frames, double* stereo) {
    convolver_.process(speakers, stride_, channels_.data(), frames, stereo);
}

void Binaural::finish(double* stereo) {
    convolver_.process(nullptr, 0, channels_.data(), tailFrames(), stereo);
    convolver_.reset();
}

}  // namespace tarvio::render
