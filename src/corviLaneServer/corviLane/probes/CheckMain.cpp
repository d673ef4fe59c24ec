#include "CheckMain.h"

#include "Diagnosis.h"
#include "LinuxProbes.h"
#include "Logger.h"
#include "ProgramRun.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP};

// A stop signal ends the check at once, as it would without a handler, and
// takes the tools it started along.
void stopNow(int sig) {
    ProgramRun::killAll();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered, with its default action, once this handler returns
}

// Whatever mask the check inherited, the stop signals reach it.
void stopOnSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kStopSignals) {
        struct sigaction action {};
        action.sa_handler = stopNow;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
        sigaddset(&set, sig);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

int checkMain(bool json) {
    stopOnSignals();
    // The libraries the probes use report to the log; the check keeps none.
    CLogger::init("/dev/null");
    bool allEnded = true;
    const CheckFacts facts = LinuxProbes::gather(allEnded);
    const Diagnosis diagnosis = Diagnosis::of(facts);
    const std::string report = json ? diagnosis.json(facts) : diagnosis.text();
    std::fputs(report.c_str(), stdout);
    const int status = diagnosis.reachable() ? 0 : 1;
    if (!allEnded) {
        // A probe still waits on something (a MIDI system, a file system):
        // the check ends without waiting for it, or tearing down what it uses.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    CLogger::finish();
    return status;
}
