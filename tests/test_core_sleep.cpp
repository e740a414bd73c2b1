// nuvexSleep in real time: invalid durations and signals during the wait.
// The exact intervals handed to nanosleep, clamping of durations too long
// for them included, are checked in the stand-in tests.
#include "support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cmath>

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

} // namespace
