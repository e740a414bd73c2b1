// The stand-in entry points. Every one forwards to the real function unless
// a control of the running test says otherwise.
#include "openal_standin.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace standin {

Controls &Get()
{
    static Controls controls;
    return controls;
}

void *Real(const char *name)
{
    static void *openal = dlopen("libopenal.so.1", RTLD_NOW | RTLD_GLOBAL);
    void *function = openal ? dlsym(openal, name) : nullptr;
    if (!function) {
        fprintf(stderr, "stand-in: no real %s\n", name);
        abort();
    }
    return function;
}

template <typename F>
F *RealAs(const char *name)
{
    return reinterpret_cast<F *>(Real(name));
}

// The real function of the enclosing stand-in's name and type.
#define REAL(fn) static auto real = standin::RealAs<decltype(fn)>(#fn)

ALCboolean ALC_APIENTRY CountingSetThreadContext(ALCcontext *context)
{
    static auto real = RealAs<decltype(CountingSetThreadContext)>("alcSetThreadContext");
    Get().threadContextCalls++;
    return real(context);
}

ALCcontext *ALC_APIENTRY CountingGetThreadContext(void)
{
    static auto real = RealAs<decltype(CountingGetThreadContext)>("alcGetThreadContext");
    Get().threadContextCalls++;
    return real();
}

namespace {
void Log(const std::string &entry)
{
    if (Get().logCalls)
        Get().calls.push_back(entry);
}

// Reports the stand-in's pending error once, in place of the real one.
template <typename E>
E TakePending(E &pending, E real)
{
    E error = pending ? pending : real;
    pending = 0;
    return error;
}
} // namespace

} // namespace standin

using standin::Get;

extern "C" {

AL_API ALboolean AL_APIENTRY alIsExtensionPresent(const ALchar *extname)
{
    REAL(alIsExtensionPresent);
    standin::Log(std::string("ext ") + extname);
    return Get().hiddenExtensions.count(extname) ? AL_FALSE : real(extname);
}

ALC_API ALCboolean ALC_APIENTRY alcIsExtensionPresent(ALCdevice *device, const ALCchar *extname)
{
    REAL(alcIsExtensionPresent);
    return Get().hiddenExtensions.count(extname) ? ALC_FALSE : real(device, extname);
}

ALC_API void *ALC_APIENTRY alcGetProcAddress(ALCdevice *device, const ALCchar *funcname)
{
    REAL(alcGetProcAddress);
    const std::string name = funcname;
    if (Get().hiddenProcs.count(name))
        return nullptr;
    if (name == "alcSetThreadContext")
        return reinterpret_cast<void *>(standin::CountingSetThreadContext);
    if (name == "alcGetThreadContext")
        return reinterpret_cast<void *>(standin::CountingGetThreadContext);
    return real(device, funcname);
}

AL_API ALenum AL_APIENTRY alGetEnumValue(const ALchar *ename)
{
    REAL(alGetEnumValue);
    standin::Log(std::string("enum ") + ename);
    ALenum value = real(ename);
    if (Get().enumErrors.count(ename))
        Get().pendingAlError = AL_INVALID_VALUE;
    auto it = Get().enumValues.find(ename);
    return it != Get().enumValues.end() ? it->second : value;
}

AL_API ALenum AL_APIENTRY alGetError(void)
{
    REAL(alGetError);
    standin::Log("error");
    return standin::TakePending(Get().pendingAlError, real());
}

ALC_API ALCenum ALC_APIENTRY alcGetError(ALCdevice *device)
{
    REAL(alcGetError);
    return standin::TakePending(Get().pendingAlcError, real(device));
}

ALC_API const ALCchar *ALC_APIENTRY alcGetString(ALCdevice *device, ALCenum param)
{
    REAL(alcGetString);
    const bool deviceList =
        !device && (param == ALC_DEVICE_SPECIFIER || param == ALC_ALL_DEVICES_SPECIFIER);
    if (deviceList && Get().noDeviceLists) {
        Get().pendingAlcError = ALC_INVALID_VALUE;
        return nullptr;
    }
    if (deviceList && Get().fakeDeviceLists)
        return (param == ALC_DEVICE_SPECIFIER ? Get().defaultList : Get().allList).c_str();
    return real(device, param);
}

ALC_API ALCcontext *ALC_APIENTRY alcCreateContext(ALCdevice *device, const ALCint *attrlist)
{
    REAL(alcCreateContext);
    return Get().failCreateContext ? nullptr : real(device, attrlist);
}

ALC_API ALCboolean ALC_APIENTRY alcMakeContextCurrent(ALCcontext *context)
{
    REAL(alcMakeContextCurrent);
    return (context ? Get().failMakeCurrent : Get().failUnsetCurrent) ? ALC_FALSE : real(context);
}

ALC_API ALCdevice *ALC_APIENTRY alcGetContextsDevice(ALCcontext *context)
{
    REAL(alcGetContextsDevice);
    return Get().noContextsDevice ? nullptr : real(context);
}

ALC_API void ALC_APIENTRY alcDestroyContext(ALCcontext *context)
{
    REAL(alcDestroyContext);
    Get().contextsDestroyed++;
    real(context);
}

ALC_API ALCboolean ALC_APIENTRY alcCloseDevice(ALCdevice *device)
{
    REAL(alcCloseDevice);
    Get().devicesClosed++;
    return real(device);
}

int nanosleep(const timespec *request, timespec *remaining)
{
    static auto real = reinterpret_cast<int (*)(const timespec *, timespec *)>(
        dlsym(RTLD_NEXT, "nanosleep"));
    standin::Controls &c = Get();
    if (!c.recordSleeps)
        return real(request, remaining);
    c.sleepRequests.push_back(*request);
    if (c.sleepOutcomes.empty())
        return 0;
    standin::SleepOutcome outcome = c.sleepOutcomes.front();
    c.sleepOutcomes.pop_front();
    if (outcome.error == EINTR && remaining)
        *remaining = outcome.remaining;
    errno = outcome.error;
    return outcome.error ? -1 : 0;
}

} // extern "C"
