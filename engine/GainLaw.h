// SPDX-License-Identifier: MIT
// How the position of the sound becomes the gains of the loudspeakers. Each
// law is a row of one table: its name, its gains function, the layouts it
// can serve, and what it works out once per layout before any frame. Each
// law lives in its own file under engine/laws/, and the table beside them
// (laws/LawTable.cpp); a new law is a new file there and a new row.
#ifndef TARVIO_ENGINE_GAINLAW_H
#define TARVIO_ENGINE_GAINLAW_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/SpeakerLayout.h"

namespace tarvio {

// The settings of the laws that take any (dbap); the others ignore them.
struct LawParams {
    double rolloff = 6.0;  // dB the level falls per doubling of distance
    double blur = 0.2;     // added distance, in half widths of the square
    // The ranges in which the gains stay finite and audible everywhere on
    // the square: beyond them the powers of the distances overflow or
    // underflow, and the sound vanishes or is not a number.
    static constexpr double kMaxRolloff = 60.0;
    static constexpr double kMaxBlur = 10.0;
};

// What a law works out once for a layout and its parameters (sorted
// loudspeakers, matrix inverses, ...) so that the gains of a frame cost
// little and allocate nothing. Each law derives its own.
class LawState {
  public:
    virtual ~LawState() = default;
};

// The gains of every loudspeaker of `layout`, in engine order, for the sound
// at (x, y) on the unit square: layout.size() factors, written to `gains`,
// by which the spatializer multiplies the mono sample. A loudspeaker with no
// position (LFE) gets 0. `state` is what the law's prepare function made
// for this layout (null for a law without one). Allocates nothing.
using GainsFn = void (*)(double x, double y, const SpeakerLayout& layout, const LawState* state,
                         double* gains);
// The block form of GainsFn with the spreading fused in: frame j of `out`
// (layout.size() samples from out + j * layout.size()) gets the gains of the
// sound at (x[j], y[j]) times the mono sample mono[j], for j from 0 to
// `frames`. A law has one where its gains cost less a block at a time; the
// results may differ from GainsFn's in the last bits (each law says by how
// much). Allocates nothing.
using SpreadFn = void (*)(const double* x, const double* y, const double* mono, int frames,
                          const SpeakerLayout& layout, const LawState* state, double* out);
// GainsFn for a sound `elevation` degrees above ear height (-90 .. 90) in the
// direction of (x, y), at the distance that (x, y) has from the middle of
// the square (1 on its edge). A law without one ignores the elevation.
using GainsFn3 = void (*)(double x, double y, double elevation, const SpeakerLayout& layout,
                          const LawState* state, double* gains);
// The block form of GainsFn3, exactly its gains times mono[j] per frame, as
// SpreadFn is of GainsFn; `elevation` null stands for all 0.
using SpreadFn3 = void (*)(const double* x, const double* y, const double* elevation,
                           const double* mono, int frames, const SpeakerLayout& layout,
                           const LawState* state, double* out);
// Whether a law can place sound on `layout`.
using SupportsFn = bool (*)(const SpeakerLayout& layout);
// The state of the law for a layout it supports; throws
// std::invalid_argument for parameters out of range.
using PrepareFn = std::shared_ptr<const LawState> (*)(const SpeakerLayout& layout,
                                                      const LawParams& params);

struct PanLaw {
    const char* name;     // as the command line takes it: "bilinear", "vbap", ...
    const char* summary;  // one line for a help text
    GainsFn gains;        // only for a layout that `supports` accepts
    SupportsFn supports;
    PrepareFn prepare;  // null for a law that needs no state
    // Null for a law without a block form: the panner then spreads frame by
    // frame with `gains`.
    SpreadFn spread = nullptr;
    // Null for a law that places sound in the horizontal plane only.
    GainsFn3 gains3 = nullptr;
    // Null for a law whose gains3 has no block form.
    SpreadFn3 spread3 = nullptr;
    // In the plane, each loudspeaker's gain depends on its position alone,
    // not on its place in the layout: the same loudspeakers in another
    // order give the same gains, moved with them, to the last bit.
    bool byPosition = false;
};

// A law made ready for one layout and its parameters: the gains of any
// point, per frame or a block of frames at a time, without allocating.
class Panner {
  public:
    // Throws std::invalid_argument when the law does not fit the layout
    // (naming the laws that do) or its parameters are out of range.
    Panner(const PanLaw& law, const SpeakerLayout& layout, const LawParams& params = LawParams());

    // layout().size() gains for the sound at (x, y); see GainsFn.
    // On a layout with height, the sound at elevation 0.
    void gains(double x, double y, double* gains) const {
        if (height_ && law_.gains3)
            law_.gains3(x, y, 0.0, layout_, state_.get(), gains);
        else
            law_.gains(x, y, layout_, state_.get(), gains);
    }
    // `frames` output frames of layout().size() samples: the gains of each
    // position times its mono sample, by the law's block form where it has
    // one (see SpreadFn), else frame by frame (exactly gains() times the
    // sample).
    void spread(const double* x, const double* y, const double* mono, int frames,
                double* out) const;
    // The same for a sound `elevation` degrees above ear height. A sound at
    // elevation 0 on a layout without height takes exactly the two-argument
    // path above, and so does a law that places sound in the plane only.
    void gains(double x, double y, double elevation, double* gains) const;
    // The block form with an elevation per frame; `elevation` null stands
    // for all 0. A block whose elevations are all 0 on a layout without
    // height is spread exactly as by the form without elevations.
    void spread(const double* x, const double* y, const double* elevation, const double* mono,
                int frames, double* out) const;
    const PanLaw& law() const { return law_; }
    const SpeakerLayout& layout() const { return layout_; }

  private:
    PanLaw law_;
    SpeakerLayout layout_;
    // By spread3, else frame by frame by gains3; `elevation` null for all 0.
    void spreadAbove(const double* x, const double* y, const double* elevation, const double* mono,
                     int frames, double* out) const;

    std::shared_ptr<const LawState> state_;
    bool height_;  // layout_.hasHeight()
};

// The spreading of a law without a block form: frame j of `out` gets
// gains(x[j], y[j]) times mono[j], exactly. Block forms take it for frames
// they leave to the per-frame law.
void spreadByFrame(GainsFn gains, const double* x, const double* y, const double* mono, int frames,
                   const SpeakerLayout& layout, const LawState* state, double* out);

// Every law, in order of preference: the default law of a layout is the
// first that fits it.
const std::vector<PanLaw>& panLaws();
// The law of that name, or null.
const PanLaw* findPanLaw(std::string_view name);
// The names of all laws, in table order: the choices of a command line.
std::vector<std::string> panLawNames();
// The names of the laws that fit `layout`, in table order.
std::vector<std::string> panLawsFor(const SpeakerLayout& layout);
// The law a layout gets when none is asked for: bilinear for the square of
// four, vbap for other loudspeakers, ambisonic for Ambisonic channels. Null
// for a layout no law fits.
const PanLaw* defaultPanLaw(const SpeakerLayout& layout);

}  // namespace tarvio

#endif  // TARVIO_ENGINE_GAINLAW_H
