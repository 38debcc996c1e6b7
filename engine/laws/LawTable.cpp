// SPDX-License-Identifier: MIT
// The table of gain laws. Each row comes from the law's own file in this
// folder, which defines the function declared here; a new law is its file
// and its row.
#include "engine/GainLaw.h"

namespace tarvio {

namespace laws {

PanLaw bilinear();
PanLaw power();
PanLaw vbap();
PanLaw dbap();
PanLaw ambisonic();

}  // namespace laws

// In order of preference: the default law of a layout is the first that
// fits it.
const std::vector<PanLaw>& panLaws() {
    static const std::vector<PanLaw> table{
        laws::bilinear(), laws::power(), laws::vbap(), laws::dbap(), laws::ambisonic(),
    };
    return table;
}

}  // namespace tarvio
