// Measurement helpers shared by the benchmarks: wall and CPU clocks, medians,
// and the peak resident memory that one piece of work adds, measured in a
// forked child so that every case starts from a fresh peak.
#pragma once

#include "loopback.h"

#include <AL/al.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// Monotonic wall-clock time in seconds.
double WallSeconds();
// CPU time of the calling thread in seconds.
double ThreadCpuSeconds();

struct Timing {
    double wall = 0;     // seconds
    double cpu = 0;      // seconds of the calling thread
    long pageFaults = 0; // minor page faults of the calling thread
};
// Runs `work` once and reports how long it took.
Timing TimeOnce(const std::function<void()> &work);

// One way of filling a buffer with a sound, and the times it took.
struct LoadCase {
    LoadCase(std::string n, std::function<bool(ALuint)> r) : name(std::move(n)), run(std::move(r)) {}
    std::string name;
    std::function<bool(ALuint)> run;
    std::vector<double> wall, cpu;
    ALint size = -1;
};
// Runs the case once into a fresh buffer (deleted after), noting the
// buffer's size and, when `timed`, the times. False, with the library's
// message printed, when the load fails or leaves the buffer empty.
bool RunLoadOnce(LoadCase &c, bool timed);

// Median of the values (the mean of the middle two for an even count).
double Median(std::vector<double> values);

// Current and peak resident set size of this process, in bytes (0 when the
// kernel does not say).
size_t CurrentRssBytes();
size_t PeakRssBytes();
// Lowers the peak to the current resident size; false when the kernel does
// not allow it (then PeakRssBytes keeps counting from process start).
bool ResetPeakRss();

// One piece of work measured in a forked child, so that it starts from the
// same fresh heap and a fresh memory peak every time.
struct ChildRun {
    bool ok = false;
    Timing time;
    // By how many bytes the child's peak RSS rose above its resident size
    // after `prepare`; -1 when the kernel could not reset the peak.
    long long peakGrowth = -1;
};
// Runs `prepare` (untimed) then `work` (timed) in a forked child. `prepare`
// and `work` return false to report a failure.
ChildRun RunInChild(const std::function<bool()> &prepare, const std::function<bool()> &work);

// One whole load in a fresh child with a stereo loopback device of its own
// at `rate`: `warm` runs first on a scratch buffer, so that the code is paged
// in and the peak counts the load's data, and what it freed is returned to
// the system, so that the load cannot reuse it unseen. The run succeeds when
// `load` leaves its buffer holding `bytes` bytes.
ChildRun LoadInFreshProcess(int rate, const std::function<bool(ALuint)> &warm,
                            const std::function<bool(ALuint)> &load, size_t bytes);

// "12.34 ms" style formatting of seconds, and of byte counts in MiB.
std::string FormatMs(double seconds);
std::string FormatMiB(double bytes);

} // namespace bench
