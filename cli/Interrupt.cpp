// SPDX-License-Identifier: MIT

#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace tarvio {
namespace interrupt {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_signal = 0;

// The scratch files, in fixed buffers: the handler may only read memory that
// is never reallocated. A slot's flag is cleared before its buffer changes
// and set after, so the handler never reads a half-written path.
constexpr int kScratchSlots = 8;
char g_scratch[kScratchSlots][4096];
volatile std::sig_atomic_t g_haveScratch[kScratchSlots] = {};

extern "C" void onStopSignal(int sig) {
    if (g_signal != 0) {
        // The run has not reached its next check (it may be waiting on a
        // device): leave now, as cleanly as a handler can.
        for (int i = 0; i < kScratchSlots; ++i) {
            if (g_haveScratch[i])
                ::unlink(g_scratch[i]);
        }
        ::_exit(128 + sig);
    }
    g_signal = sig;
}

sigset_t stopSet() {
    sigset_t set;
    ::sigemptyset(&set);
    for (int sig : kStopSignals)
        ::sigaddset(&set, sig);
    return set;
}

}  // namespace

void install() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    ::sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a read that waits for data (a pipe, a slow device) is
    // cut short, so the run reaches its next check instead of waiting on.
    sa.sa_flags = 0;
    for (int sig : kStopSignals)
        ::sigaction(sig, &sa, nullptr);

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

int pending() {
    return g_signal;
}

void check() {
    if (g_signal != 0)
        throw Interrupted{g_signal};
}

int exitStatus() {
    return g_signal != 0 ? 128 + g_signal : 0;
}

int addScratchFile(const char* path) {
    if (path == nullptr || std::strlen(path) >= sizeof g_scratch[0])
        return -1;
    for (int i = 0; i < kScratchSlots; ++i) {
        if (!g_haveScratch[i]) {
            std::strcpy(g_scratch[i], path);
            g_haveScratch[i] = 1;
            return i;
        }
    }
    return -1;
}

void releaseScratchFile(int handle) {
    if (handle >= 0 && handle < kScratchSlots)
        g_haveScratch[handle] = 0;
}

Hold::Hold() {
    const sigset_t set = stopSet();
    ::sigemptyset(&saved_);
    ::sigprocmask(SIG_BLOCK, &set, &saved_);
}

Hold::~Hold() {
    ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace interrupt
}  // namespace tarvio
