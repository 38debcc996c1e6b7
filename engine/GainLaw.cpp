// SPDX-License-Identifier: MIT
// The look-ups of the gain-law table (which lives with the laws, in
// laws/LawTable.cpp), and the panner that makes a law ready for a layout.
#include "engine/GainLaw.h"

#include <cstddef>
#include <stdexcept>

namespace tarvio {

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out.empty() ? "none" : out;
}

}  // namespace

Panner::Panner(const PanLaw& law, const SpeakerLayout& layout, const LawParams& params)
    : law_(law), layout_(layout), height_(layout.hasHeight()) {
    if (!law_.supports(layout_))
        throw std::invalid_argument(std::string("the ") + law_.name + " law does not fit layout " +
                                    layout_.name() +
                                    "; laws that fit: " + joined(panLawsFor(layout_)));
    if (law_.prepare)
        state_ = law_.prepare(layout_, params);
}

void Panner::spread(const double* x, const double* y, const double* mono, int frames,
                    double* out) const {
    if (height_ && law_.gains3)
        spreadAbove(x, y, nullptr, mono, frames, out);
    else if (law_.spread)
        law_.spread(x, y, mono, frames, layout_, state_.get(), out);
    else
        spreadByFrame(law_.gains, x, y, mono, frames, layout_, state_.get(), out);
}

void Panner::gains(double x, double y, double elevation, double* gains) const {
    if (law_.gains3 && (elevation != 0.0 || height_))
        law_.gains3(x, y, elevation, layout_, state_.get(), gains);
    else
        law_.gains(x, y, layout_, state_.get(), gains);
}

void Panner::spread(const double* x, const double* y, const double* elevation, const double* mono,
                    int frames, double* out) const {
    bool flat = !law_.gains3 || (!height_ && elevation == nullptr);
    if (!flat && !height_) {
        flat = true;
        for (int j = 0; j < frames && flat; ++j)
            flat = elevation[j] == 0.0;
    }
    if (flat)
        spread(x, y, mono, frames, out);
    else
        spreadAbove(x, y, elevation, mono, frames, out);
}

void Panner::spreadAbove(const double* x, const double* y, const double* elevation,
                         const double* mono, int frames, double* out) const {
    if (law_.spread3) {
        law_.spread3(x, y, elevation, mono, frames, layout_, state_.get(), out);
        return;
    }
    const std::size_t n = static_cast<std::size_t>(layout_.size());
    for (int j = 0; j < frames; ++j) {
        double* o = out + static_cast<std::size_t>(j) * n;
        law_.gains3(x[j], y[j], elevation ? elevation[j] : 0.0, layout_, state_.get(), o);
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] *= mono[j];
    }
}

// Each frame's gains go straight into its output frame, which is then scaled
// by the sample in place: the same products as multiplying a separate array
// of gains.
void spreadByFrame(GainsFn gains, const double* x, const double* y, const double* mono, int frames,
                   const SpeakerLayout& layout, const LawState* state, double* out) {
    const std::size_t n = static_cast<std::size_t>(layout.size());
    for (int j = 0; j < frames; ++j) {
        double* o = out + static_cast<std::size_t>(j) * n;
        gains(x[j], y[j], layout, state, o);
        for (std::size_t ch = 0; ch < n; ++ch)
            o[ch] *= mono[j];
    }
}

const PanLaw* findPanLaw(std::string_view name) {
    for (const PanLaw& law : panLaws()) {
        if (name == law.name)
            return &law;
    }
    return nullptr;
}

std::vector<std::string> panLawNames() {
    std::vector<std::string> names;
    for (const PanLaw& law : panLaws())
        names.emplace_back(law.name);
    return names;
}

std::vector<std::string> panLawsFor(const SpeakerLayout& layout) {
    std::vector<std::string> names;
    for (const PanLaw& law : panLaws()) {
        if (law.supports(layout))
            names.emplace_back(law.name);
    }
    return names;
}

const PanLaw* defaultPanLaw(const SpeakerLayout& layout) {
    for (const PanLaw& law : panLaws()) {
        if (law.supports(layout))
            return &law;
    }
    return nullptr;
}

}  // namespace tarvio
