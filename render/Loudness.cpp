// SPDX-License-Identifier: MIT

#include "render/Loudness.h"

#include <ebur128.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarvio::render {

namespace {

// The meter's weighting of a loudspeaker.
int channelWeight(const SpeakerLayout& layout, int channel) {
    if (layout.ambisonicOrder() > 0)
        return channel == 0 ? EBUR128_CENTER : EBUR128_UNUSED;
    const Speaker& s = layout[channel];
    if (!s.position)
        return EBUR128_UNUSED;  // LFE
    const double a = s.position->azimuth;
    if (std::fabs(a) > 60.0)
        return a > 0 ? EBUR128_LEFT_SURROUND : EBUR128_RIGHT_SURROUND;
    if (a == 0.0)
        return EBUR128_CENTER;
    return a > 0 ? EBUR128_LEFT : EBUR128_RIGHT;
}

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 2822400;
constexpr int kMaxChannels = 64;

}  // namespace

std::string LoudnessMeter::unmeasurable(int channels, int rate) {
    if (rate < kMinRate)
        return "loudness is measured at " + std::to_string(kMinRate) +
               " Hz or more (the K-weighting filter's shelf lies at 1.7 kHz), not at " +
               std::to_string(rate) + " Hz";
    if (rate > kMaxRate)
        return "loudness is measured at " + std::to_string(kMaxRate) + " Hz or less, not at " +
               std::to_string(rate) + " Hz";
    if (channels < 1 || channels > kMaxChannels)
        return "loudness is measured on 1 to " + std::to_string(kMaxChannels) +
               " channels, not " + std::to_string(channels);
    return std::string();
}

struct LoudnessMeter::State {
    ebur128_state* meter;
};

LoudnessMeter::LoudnessMeter(const SpeakerLayout& layout, int rate) : state_(nullptr) {
    const std::string why = unmeasurable(layout.size(), rate);
    if (!why.empty())
        throw std::runtime_error(why);
    ebur128_state* meter = ebur128_init(static_cast<unsigned>(layout.size()),
                                        static_cast<unsigned long>(rate), EBUR128_MODE_I);
    if (!meter)
        throw std::runtime_error("libebur128 cannot measure " + std::to_string(layout.size()) +
                                 " channels at " + std::to_string(rate) + " Hz");
    state_ = new State{meter};
    for (int c = 0; c < layout.size(); ++c)
        ebur128_set_channel(state_->meter, static_cast<unsigned>(c), channelWeight(layout, c));
}

LoudnessMeter::~LoudnessMeter() {
    ebur128_destroy(&state_->meter);
    delete state_;
}

void LoudnessMeter::add(const double* frames, int count) {
    if (count > 0)
        ebur128_add_frames_double(state_->meter, frames, static_cast<std::size_t>(count));
}

double LoudnessMeter::integrated() const {
    double lufs = -std::numeric_limits<double>::infinity();
    if (ebur128_loudness_global(state_->meter, &lufs) != EBUR128_SUCCESS)
        return -std::numeric_limits<double>::infinity();
    return lufs;
}

}  // namespace tarvio::render
