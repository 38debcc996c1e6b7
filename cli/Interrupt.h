// SPDX-License-Identifier: MIT
// Signals that end a run early. SIGINT, SIGTERM and SIGHUP are caught and
// only noted; the run looks at the note between blocks, so that it can remove
// its temporary files and leave the earlier output as it was. A second such
// signal while the first is being handled removes every registered scratch
// file and ends the process at once. SIGPIPE and SIGXFSZ are ignored: a closed pipe
// or a file-size limit then shows up as a failed write, which the run reports
// like any other.
#ifndef TARVIO_CLI_INTERRUPT_H
#define TARVIO_CLI_INTERRUPT_H

#include <signal.h>

namespace tarvio {

// Thrown when a run stops because of a signal; carries the signal number.
struct Interrupted {
    int signal;
};

namespace interrupt {

// Installs the handlers described above. Call once, before the run.
void install();

// The signal that asked the run to stop, 0 when none has.
int pending();

// Throws Interrupted when a signal is pending.
void check();

// The exit status of a run that a stop signal ended: 128 + the signal's
// number; 0 when no signal is pending. A run that fails while a signal is
// pending was stopped, whatever the failure says.
int exitStatus();

// Files to remove if the process has to end inside a signal handler. A run
// may register several (its output, its trace, its picture); each is kept
// until it is released. addScratchFile copies the path and returns a handle
// for releaseScratchFile, or -1 when the path is too long or every place is
// taken (the file is then only removed by the run itself).
int addScratchFile(const char* path);
void releaseScratchFile(int handle);

// Holds the stop signals back while it lives, so that a step such as moving
// the finished file into place is either done or not done, never cut in half.
// A signal that arrives meanwhile is handled when the object goes.
class Hold {
  public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

  private:
    sigset_t saved_;  // the signal mask before
};

}  // namespace interrupt
}  // namespace tarvio

#endif  // TARVIO_CLI_INTERRUPT_H
