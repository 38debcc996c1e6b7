// SPDX-License-Identifier: MIT
// How the position of the sound becomes the gains of the loudspeakers. Each
// law is a row of one table: its name, its gains function and the layouts
// it can serve. A new law is a new row in GainLaw.cpp.
#ifndef TARVIO_ENGINE_GAINLAW_H
#define TARVIO_ENGINE_GAINLAW_H

#include <string>
#include <string_view>
#include <vector>

#include "engine/SpeakerLayout.h"

namespace tarvio {

// The gains of every loudspeaker of `layout`, in engine order, for the sound
// at (x, y) on the unit square: layout.size() factors, written to `gains`,
// by which the spatializer multiplies the mono sample. A loudspeaker with no
// position (LFE) gets 0.
using GainsFn = void (*)(double x, double y, const SpeakerLayout& layout, double* gains);
// Whether a law can place sound on `layout`.
using SupportsFn = bool (*)(const SpeakerLayout& layout);

struct PanLaw {
    const char* name;     // as the command line takes it: "bilinear", "power"
    const char* summary;  // one line for a help text
    GainsFn gains;        // only for a layout that `supports` accepts
    SupportsFn supports;
};

// Every law, the default first.
const std::vector<PanLaw>& panLaws();
// The law of that name, or null.
const PanLaw* findPanLaw(std::string_view name);
// The names of all laws, in table order: the choices of a command line.
std::vector<std::string> panLawNames();

// ---------------------------------------------------------------------------
// Compatibility: the names the programs used before laws became rows. Each
// maps onto the table above.

// The two laws as an enum.
enum class GainLaw {
    Bilinear,  // the row "bilinear"
    Power,     // the row "power"
};

// The row of `law`.
const PanLaw& panLawOf(GainLaw law);

// The gains of the four channels of layouts::quad() for a point at (x, y)
// under `law`: panLawOf(law).gains(x, y, layouts::quad(), gains).
void cornerGains(GainLaw law, double x, double y, double gains[4]);

}  // namespace tarvio

#endif  // TARVIO_ENGINE_GAINLAW_H
