// SPDX-License-Identifier: MIT
// Ambisonic encoding of a source on the sphere, AmbiX style:
// channels in ACN order (channel n^2 + n + m for degree n and order m,
// -n <= m <= n) with SN3D normalisation and no Condon-Shortley phase. For
// the azimuth theta of the sound, channel (n, m) carries
//   N(n, |m|) P(n, |m|)(0) cos(|m| theta)  for m >= 0,
//   N(n, |m|) P(n, |m|)(0) sin(|m| theta)  for m < 0,
// with N(n, m) = sqrt((2 - [m = 0]) (n - m)! / (n + m)!) and P the
// associated Legendre function at elevation 0. At order 1 that is W = 1,
// Y = sin theta, Z = 0, X = cos theta. The channels of degree 1 and up are
// scaled by r (1 on the edge, 0 in the middle), so a sound in the middle of
// the square is heard from everywhere alike: only W.
//
// A sound at elevation e above the plane has P(n, |m|)(sin e) in place of
// P(n, |m|)(0): at order 1, W = 1, Y = cos e sin theta, Z = sin e,
// X = cos e cos theta. A sound at elevation 0 takes the plane's own
// operations, and so its bytes.
//
// A block of frames goes through the block kernels of AmbisonicKernels.h,
// which do these operations in this order for several frames at once: the
// same bytes as the per-frame law.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/laws/AmbisonicKernels.h"
#include "engine/laws/Laws.h"

namespace tarvio {
namespace laws {

namespace {

// What channel (n, m) takes from the direction.
struct Component {
    double weight;  // N(n, |m|) P(n, |m|)(0)
    int order;      // |m|: of cos |m| theta or sin |m| theta
    bool sine;      // m < 0
    bool scaled;    // n >= 1: scaled by r
    int degree;     // n
    double norm;    // N(n, |m|)
};

struct AmbisonicState : LawState {
    std::vector<Component> channels;  // in ACN order
    int order;
    AmbisonicTable table;     // the channels as the block kernels read them
    AmbisonicChannels block;  // table.view() (a state is never copied)
};

double factorial(int n) {
    double f = 1.0;
    for (int i = 2; i <= n; ++i)
        f *= i;
    return f;
}

double doubleFactorial(int n) {
    double f = 1.0;
    for (int i = n; i > 1; i -= 2)
        f *= i;
    return f;
}

// The associated Legendre function P(n, m) at 0, without the
// Condon-Shortley phase: 0 when n + m is odd, else
// (-1)^((n - m) / 2) (n + m - 1)!! / (n - m)!!.
double legendreAtZero(int n, int m) {
    if ((n + m) % 2 != 0)
        return 0.0;
    const double sign = ((n - m) / 2) % 2 == 0 ? 1.0 : -1.0;
    return sign * doubleFactorial(n + m - 1) / doubleFactorial(n - m);
}

// N(n, m), SN3D.
double sn3d(int n, int m) {
    return std::sqrt((m == 0 ? 1.0 : 2.0) * factorial(n - m) / factorial(n + m));
}

std::shared_ptr<const LawState> prepare(const SpeakerLayout& layout, const LawParams&) {
    auto state = std::make_shared<AmbisonicState>();
    state->order = layout.ambisonicOrder();
    for (int n = 0; n <= state->order; ++n) {
        for (int m = -n; m <= n; ++m) {
            const int am = std::abs(m);
            state->channels.push_back(
                {sn3d(n, am) * legendreAtZero(n, am), am, m < 0, n >= 1, n, sn3d(n, am)});
        }
    }
    AmbisonicTable& table = state->table;
    table.order = state->order;
    for (const Component& c : state->channels) {
        table.weight.push_back(c.weight);
        table.turn.push_back(c.sine ? state->order + 1 + c.order : c.order);
        table.scaled.push_back(c.scaled ? 1 : 0);
    }
    state->block = table.view();
    return state;
}

// cos m theta and sin m theta of the direction for m = 0 .. order, turn by
// turn.
void turns(int order, const Direction& d, double* cosines, double* sines) {
    cosines[0] = 1.0;
    sines[0] = 0.0;
    for (int m = 1; m <= order; ++m) {
        cosines[m] = cosines[m - 1] * d.cos - sines[m - 1] * d.sin;
        sines[m] = sines[m - 1] * d.cos + cosines[m - 1] * d.sin;
    }
}

void gains(double x, double y, const SpeakerLayout&, const LawState* state, double* g) {
    const AmbisonicState& s = static_cast<const AmbisonicState&>(*state);
    const Direction d = directionOf(x, y);
    double cosines[kMaxAmbisonicOrder + 1];
    double sines[kMaxAmbisonicOrder + 1];
    turns(s.order, d, cosines, sines);
    for (std::size_t k = 0; k < s.channels.size(); ++k) {
        const Component& c = s.channels[k];
        const double turn = c.sine ? sines[c.order] : cosines[c.order];
        g[k] = c.weight * turn * (c.scaled ? d.r : 1.0);
    }
}

// P(n, m)(sin e) for 0 <= m <= n <= order, without the Condon-Shortley
// phase, by the recurrences in n from P(m, m) = (2m - 1)!! cos^m e.
void legendre(int order, double sinE, double cosE,
              double p[kMaxAmbisonicOrder + 1][kMaxAmbisonicOrder + 1]) {
    double diagonal = 1.0;
    for (int m = 0; m <= order; ++m) {
        if (m > 0)
            diagonal *= (2 * m - 1) * cosE;
        p[m][m] = diagonal;
        if (m + 1 <= order)
            p[m + 1][m] = sinE * (2 * m + 1) * diagonal;
        for (int n = m + 2; n <= order; ++n)
            p[n][m] = ((2 * n - 1) * sinE * p[n - 1][m] - (n + m - 1) * p[n - 2][m]) / (n - m);
    }
}

void gains3(double x, double y, double elevation, const SpeakerLayout& layout,
            const LawState* state, double* g) {
    if (elevation == 0.0) {
        gains(x, y, layout, state, g);
        return;
    }
    const AmbisonicState& s = static_cast<const AmbisonicState&>(*state);
    const Direction d = directionOf(x, y);
    const double e = elevation * (3.14159265358979323846 / 180.0);
    double p[kMaxAmbisonicOrder + 1][kMaxAmbisonicOrder + 1];
    legendre(s.order, std::sin(e), std::cos(e), p);
    double cosines[kMaxAmbisonicOrder + 1];
    double sines[kMaxAmbisonicOrder + 1];
    turns(s.order, d, cosines, sines);
    for (std::size_t k = 0; k < s.channels.size(); ++k) {
        const Component& c = s.channels[k];
        const double turn = c.sine ? sines[c.order] : cosines[c.order];
        g[k] = c.norm * p[c.degree][c.order] * turn * (c.scaled ? d.r : 1.0);
    }
}

void spread(const double* x, const double* y, const double* mono, int frames, const SpeakerLayout&,
            const LawState* state, double* out) {
    const AmbisonicState& s = static_cast<const AmbisonicState&>(*state);
    defaultAmbisonicSpread()(s.block, x, y, mono, frames, out);
}

// Ambisonic channels of an order the encoder has.
bool supports(const SpeakerLayout& layout) {
    return layout.ambisonicOrder() >= kMinAmbisonicOrder &&
           layout.ambisonicOrder() <= kMaxAmbisonicOrder;
}

}  // namespace

AmbisonicTable ambisonicTable(int order) {
    const auto state = std::static_pointer_cast<const AmbisonicState>(
        prepare(ambisonicLayout(order), LawParams()));
    return state->table;
}

PanLaw ambisonic() {
    return {"ambisonic",
            "Ambisonic encoding, ACN order with SN3D normalisation (AmbiX); "
            "omnidirectional at the centre",
            gains,
            supports,
            prepare,
            spread,
            gains3};
}

}  // namespace laws
}  // namespace tarvio
