// A stand-in for the few OpenAL (and libc) entry points whose answers the
// tests need to vary: extensions absent, entry points missing, device lists
// and contexts that fail. Compiled into an executable that exports its
// symbols, it takes the place of the real functions for every library loaded
// into the process, and forwards to OpenAL Soft (or libc) unless told
// otherwise. Each test runs in its own process, so the controls start fresh.
#pragma once

#include <AL/al.h>
#include <AL/alc.h>

#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace standin {

struct SleepOutcome {
    int error;          // 0: the request completes; else errno of the failure
    timespec remaining; // written back on EINTR
};

struct Controls {
    std::set<std::string> hiddenExtensions; // AL and ALC names in one set
    std::set<std::string> hiddenProcs;      // alcGetProcAddress answers null
    // alGetEnumValue answers these values instead of the real ones, and
    // leaves AL_INVALID_VALUE pending for the names in enumErrors.
    std::map<std::string, ALenum> enumValues;
    std::set<std::string> enumErrors;

    // Device lists: when set, alcGetString answers these bytes (NUL-separated,
    // ended by an empty name); `noDeviceLists` makes it answer null and leave
    // an ALC error pending, as a failing implementation would.
    bool fakeDeviceLists = false;
    bool noDeviceLists = false;
    std::string defaultList;
    std::string allList;

    // Errors the stand-in leaves pending; alGetError / alcGetError report
    // them once (the real pending error is consumed as well).
    ALenum pendingAlError = AL_NO_ERROR;
    ALCenum pendingAlcError = ALC_NO_ERROR;

    bool failCreateContext = false;
    bool failMakeCurrent = false; // for a non-null context
    bool failUnsetCurrent = false;
    bool noContextsDevice = false;

    // nanosleep: while recording, requests are logged and answered from
    // `sleepOutcomes` (success once they run out) without sleeping.
    bool recordSleeps = false;
    std::vector<timespec> sleepRequests;
    std::deque<SleepOutcome> sleepOutcomes;

    // Calls of alGetEnumValue ("enum NAME"), alGetError ("error") and
    // alIsExtensionPresent ("ext NAME"), in order, while `logCalls` is set.
    bool logCalls = false;
    std::vector<std::string> calls;

    int threadContextCalls = 0; // through the entry points handed out
    int contextsDestroyed = 0;
    int devicesClosed = 0;
};

Controls &Get();

void *Real(const char *name); // OpenAL Soft's own

// The entry points alcGetProcAddress hands out for the thread-context
// extension: they count their calls and forward to OpenAL Soft.
ALCboolean ALC_APIENTRY CountingSetThreadContext(ALCcontext *context);
ALCcontext *ALC_APIENTRY CountingGetThreadContext(void);

} // namespace standin
