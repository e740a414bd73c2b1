// nuvexSleep in real time: invalid durations, signals during the wait, and
// durations too long to wait for. The exact intervals handed to nanosleep
// are checked in the stand-in tests.
#include "support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(CoreSleep, InvalidDurationsFailZeroSucceeds)
{
    const float invalid[] = {-0.001f, -INFINITY, NAN, -NAN};
    for (float duration : invalid) {
        SCOPED_TRACE(duration);
        EXPECT_FALSE(nuvexSleep(duration));
        EXPECT_STREQ(nuvexGetErrorString(), "Invalid duration");
    }
    auto start = Clock::now();
    EXPECT_TRUE(nuvexSleep(0.0f));
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_STREQ(nuvexGetErrorString(), "No error");
}

std::atomic<int> Interruptions{0};
void CountSignal(int) { Interruptions++; }

// A handler installed without SA_RESTART makes nanosleep return EINTR; the
// remaining time must still be slept.
TEST(CoreSleep, SignalsDuringTheWaitDoNotShortenIt)
{
    struct sigaction action = {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
    itimerval timer = {};
    timer.it_value.tv_usec = 200000;
    timer.it_interval.tv_usec = 300000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    auto start = Clock::now();
    EXPECT_TRUE(nuvexSleep(1.25f));
    double elapsed = SecondsSince(start);

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    EXPECT_GE(Interruptions.load(), 2) << "the signals never came, nothing was tested";
    EXPECT_GE(elapsed, 1.25);
}

// Durations beyond what the request can hold are clamped, not overflowed
// into an invalid or negative interval that would return at once.
TEST(CoreSleep, HugeDurationsWaitInsteadOfFailing)
{
    const float huge[] = {4294967040.0f, 4294967296.0f, INFINITY};
    static std::atomic<int> returned{0}; // outlives the detached threads' frames
    for (float duration : huge) {
        std::thread([duration] {
            nuvexSleep(duration);
            returned++;
        }).detach();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(returned.load(), 0);
    EXPECT_STREQ(nuvexGetErrorString(), "No error");
}

} // namespace
