#include "CheckMain.h"

#include "Diagnosis.h"
#include "LinuxProbes.h"
#include "Logger.h"

#include <cstdio>

int checkMain(bool json) {
    // The libraries the probes use report to the log; the check keeps none.
    CLogger::init("/dev/null");
    const CheckFacts facts = LinuxProbes::gather();
    CLogger::finish();
    const Diagnosis diagnosis = Diagnosis::of(facts);
    const std::string report = json ? diagnosis.json(facts) : diagnosis.text();
    std::fputs(report.c_str(), stdout);
    return diagnosis.reachable() ? 0 : 1;
}
