// SPDX-License-Identifier: MIT

#include "common/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace tarvio {
namespace interrupt {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_signal = 0;

// The scratch file, as a fixed buffer: the handler may only read memory that
// is never reallocated. g_haveScratch is cleared before the buffer changes.
char g_scratch[4096];
volatile std::sig_atomic_t g_haveScratch = 0;

extern "C" void onStopSignal(int sig) {
    if (g_signal != 0) {
        // The run has not reached its next check (it may be waiting on a
        // device): leave now, as cleanly as a handler can.
        if (g_haveScratch)
            ::unlink(g_scratch);
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

void setScratchFile(const char* path) {
    g_haveScratch = 0;
    if (path == nullptr || std::strlen(path) >= sizeof g_scratch)
        return;
    std::strcpy(g_scratch, path);
    g_haveScratch = 1;
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
