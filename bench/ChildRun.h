#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Work measured in a child process of its own, for the waveform benchmarks:
// its wall time and its peak resident memory (from the child's rusage).
namespace childrun {

struct Run {
    double seconds = -1;  // negative: the program failed
    double peakMiB = 0;
};

// The median of `values`; -1 when there are none.
double median(std::vector<double> values);

// Runs `work` in a child process: its wall time (measured here, from fork to
// exit, unless the child reports its own, see timed()) and its peak resident
// memory. `work` returns the exit status.
Run inChild(const std::function<int()>& work);
// The median time and the largest peak of `runs` runs.
Run medianOf(int runs, const std::function<int()>& work);

// In the child: tells the parent how long its work took.
void reportSeconds(double seconds);

// Runs `part` in the child and reports its own time to the parent.
template <class Part>
int timed(Part part) {
    const auto started = std::chrono::steady_clock::now();
    const int status = part();
    reportSeconds(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return status;
}

// In the child: becomes `command` with its output dropped; returns only when
// that fails (126: the output cannot be dropped, 127: the program cannot run).
int execQuietly(const std::vector<std::string>& command);

}  // namespace childrun
