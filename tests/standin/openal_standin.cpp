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

ALCboolean ALC_APIENTRY CountingSetThreadContext(ALCcontext *context)
{
    static auto real = RealAs<ALCboolean ALC_APIENTRY(ALCcontext *)>("alcSetThreadContext");
    Get().threadContextCalls++;
    return real(context);
}

ALCcontext *ALC_APIENTRY CountingGetThreadContext(void)
{
    static auto real = RealAs<ALCcontext *ALC_APIENTRY(void)>("alcGetThreadContext");
    Get().threadContextCalls++;
    return real();
}

namespace {
void Log(const std::string &entry)
{
    if (Get().logCalls)
        Get().calls.push_back(entry);
}
} // namespace

} // namespace standin

using standin::Get;
using standin::RealAs;

extern "C" {

AL_API ALboolean AL_APIENTRY alIsExtensionPresent(const ALchar *extname)
{
    static auto real = RealAs<ALboolean AL_APIENTRY(const ALchar *)>("alIsExtensionPresent");
    standin::Log(std::string("ext ") + extname);
    if (Get().hiddenExtensions.count(extname))
        return AL_FALSE;
    return real(extname);
}

ALC_API ALCboolean ALC_APIENTRY alcIsExtensionPresent(ALCdevice *device, const ALCchar *extname)
{
    static auto real =
        RealAs<ALCboolean ALC_APIENTRY(ALCdevice *, const ALCchar *)>("alcIsExtensionPresent");
    if (Get().hiddenExtensions.count(extname))
        return ALC_FALSE;
    return real(device, extname);
}

ALC_API void *ALC_APIENTRY alcGetProcAddress(ALCdevice *device, const ALCchar *funcname)
{
    static auto real =
        RealAs<void *ALC_APIENTRY(ALCdevice *, const ALCchar *)>("alcGetProcAddress");
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
    static auto real = RealAs<ALenum AL_APIENTRY(const ALchar *)>("alGetEnumValue");
    standin::Log(std::string("enum ") + ename);
    ALenum value = real(ename);
    if (Get().enumErrors.count(ename))
        Get().pendingAlError = AL_INVALID_VALUE;
    auto it = Get().enumValues.find(ename);
    return it != Get().enumValues.end() ? it->second : value;
}

AL_API ALenum AL_APIENTRY alGetError(void)
{
    static auto real = RealAs<ALenum AL_APIENTRY(void)>("alGetError");
    standin::Log("error");
    ALenum error = real();
    if (Get().pendingAlError != AL_NO_ERROR) {
        error = Get().pendingAlError;
        Get().pendingAlError = AL_NO_ERROR;
    }
    return error;
}

ALC_API ALCenum ALC_APIENTRY alcGetError(ALCdevice *device)
{
    static auto real = RealAs<ALCenum ALC_APIENTRY(ALCdevice *)>("alcGetError");
    ALCenum error = real(device);
    if (Get().pendingAlcError != ALC_NO_ERROR) {
        error = Get().pendingAlcError;
        Get().pendingAlcError = ALC_NO_ERROR;
    }
    return error;
}

ALC_API const ALCchar *ALC_APIENTRY alcGetString(ALCdevice *device, ALCenum param)
{
    static auto real = RealAs<const ALCchar *ALC_APIENTRY(ALCdevice *, ALCenum)>("alcGetString");
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
    static auto real =
        RealAs<ALCcontext *ALC_APIENTRY(ALCdevice *, const ALCint *)>("alcCreateContext");
    if (Get().failCreateContext)
        return nullptr;
    return real(device, attrlist);
}

ALC_API ALCboolean ALC_APIENTRY alcMakeContextCurrent(ALCcontext *context)
{
    static auto real = RealAs<ALCboolean ALC_APIENTRY(ALCcontext *)>("alcMakeContextCurrent");
    if (context ? Get().failMakeCurrent : Get().failUnsetCurrent)
        return ALC_FALSE;
    return real(context);
}

ALC_API ALCdevice *ALC_APIENTRY alcGetContextsDevice(ALCcontext *context)
{
    static auto real = RealAs<ALCdevice *ALC_APIENTRY(ALCcontext *)>("alcGetContextsDevice");
    if (Get().noContextsDevice)
        return nullptr;
    return real(context);
}

ALC_API void ALC_APIENTRY alcDestroyContext(ALCcontext *context)
{
    static auto real = RealAs<void ALC_APIENTRY(ALCcontext *)>("alcDestroyContext");
    Get().contextsDestroyed++;
    real(context);
}

ALC_API ALCboolean ALC_APIENTRY alcCloseDevice(ALCdevice *device)
{
    static auto real = RealAs<ALCboolean ALC_APIENTRY(ALCdevice *)>("alcCloseDevice");
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
    if (outcome.error == 0)
        return 0;
    if (outcome.error == EINTR && remaining)
        *remaining = outcome.remaining;
    errno = outcome.error;
    return -1;
}

} // extern "C"
