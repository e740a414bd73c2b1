#include "benchutil.h"

#include <nuvex.h>

#include <AL/al.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {
double ClockSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A "Name:   1234 kB" field of /proc/self/status, in bytes.
size_t StatusField(const char *name)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    size_t result = 0, len = strlen(name);
    while (fgets(line, sizeof(line), f)) {
        if (strncmp(line, name, len) == 0 && line[len] == ':') {
            unsigned long long kb = 0;
            if (sscanf(line + len + 1, "%llu", &kb) == 1)
                result = size_t(kb) * 1024;
            break;
        }
    }
    fclose(f);
    return result;
}
} // namespace

double WallSeconds()
{
    return ClockSeconds(CLOCK_MONOTONIC);
}
double ThreadCpuSeconds()
{
    return ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

Timing TimeOnce(const std::function<void()> &work)
{
    rusage u0{}, u1{};
    getrusage(RUSAGE_THREAD, &u0);
    double w0 = WallSeconds(), c0 = ThreadCpuSeconds();
    work();
    double c1 = ThreadCpuSeconds(), w1 = WallSeconds();
    getrusage(RUSAGE_THREAD, &u1);
    return {w1 - w0, c1 - c0, u1.ru_minflt - u0.ru_minflt};
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

size_t CurrentRssBytes()
{
    return StatusField("VmRSS");
}
size_t PeakRssBytes()
{
    return StatusField("VmHWM");
}

bool ResetPeakRss()
{
    // Writing 5 to clear_refs resets the peak RSS (Linux 4.0 and later).
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    bool ok = fputs("5", f) >= 0;
    ok = (fclose(f) == 0) && ok;
    return ok;
}

ChildRun LoadInFreshProcess(int rate, const std::function<bool(ALuint)> &warm,
                            const std::function<bool(ALuint)> &load, size_t bytes)
{
    nvmedia::Loopback *device = nullptr; // the child exits without closing it
    ALuint buffer = 0;
    return RunInChild(
        [&] {
            device = new nvmedia::Loopback(2, rate);
            if (!device->ok())
                return false;
            // First-use allocations of OpenAL itself are not the load's.
            alGenBuffers(1, &buffer);
            alBufferData(buffer, AL_FORMAT_STEREO16, nullptr, 0, ALsizei(rate));
            ALuint scratch = 0;
            alGenBuffers(1, &scratch);
            bool warmed = warm(scratch);
            alDeleteBuffers(1, &scratch);
            malloc_trim(0);
            return warmed && alGetError() == AL_NO_ERROR;
        },
        [&] {
            if (!load(buffer))
                return false;
            ALint size = 0;
            alGetBufferi(buffer, AL_SIZE, &size);
            return size == ALint(bytes);
        });
}

ChildRun RunInChild(const std::function<bool()> &prepare, const std::function<bool()> &work)
{
    ChildRun result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        ChildRun run;
        if (prepare()) {
            bool peakReset = ResetPeakRss();
            size_t before = CurrentRssBytes();
            bool ok = false;
            run.time = TimeOnce([&] { ok = work(); });
            run.ok = ok;
            size_t peak = PeakRssBytes();
            if (peakReset)
                run.peakGrowth = peak >= before ? (long long)(peak - before) : 0;
        }
        ssize_t written = write(fds[1], &run, sizeof(run));
        _exit(written == ssize_t(sizeof(run)) ? 0 : 1);
    }
    close(fds[1]);
    if (read(fds[0], &result, sizeof(result)) != ssize_t(sizeof(result)))
        result = ChildRun();
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result.ok = false;
    return result;
}

std::string FormatMs(double seconds)
{
    char text[32];
    snprintf(text, sizeof(text), "%.2f ms", seconds * 1e3);
    return text;
}

std::string FormatMiB(double bytes)
{
    char text[32];
    snprintf(text, sizeof(text), "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

bool RunLoadOnce(LoadCase &c, bool timed)
{
    ALuint buffer = 0;
    alGenBuffers(1, &buffer);
    bool ok = false;
    const Timing t = TimeOnce([&] { ok = c.run(buffer); });
    ALint size = 0;
    alGetBufferi(buffer, AL_SIZE, &size);
    alDeleteBuffers(1, &buffer);
    if (!ok || size <= 0) {
        fprintf(stderr, "%s failed: %s\n", c.name.c_str(), nuvexGetErrorString());
        return false;
    }
    c.size = size;
    if (timed) {
        c.wall.push_back(t.wall);
        c.cpu.push_back(t.cpu);
    }
    return true;
}

} // namespace bench
