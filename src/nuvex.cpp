// The library as a whole: load and unload, version, devices, sleep and
// function lookup. It sits on top of every other unit and none calls it.
#include "backgroundload.h"
#include "core.h"
#include "decoders.h"
#include "livestreams.h"
#include "playback.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

template <typename T>
static void LoadALCProc(ALCdevice *device, const char *name, T **func)
{
    *func = reinterpret_cast<T *>(alcGetProcAddress(device, name));
}

static void init_nuvex()
{
    nuvex_init_wav();
    nuvex_init_aiff();
    nuvex_init_vorbisfile();
    nuvex_init_modplug();
#ifdef NUVEX_WITH_SNDFILE
    nuvex_init_sndfile();
    nuvex_init_mpg123();
#endif
    nuvex_init_midi();

    if (!alcIsExtensionPresent(nullptr, "ALC_EXT_thread_local_context"))
        return;
    LoadALCProc(nullptr, "alcSetThreadContext", &palcSetThreadContext);
    LoadALCProc(nullptr, "alcGetThreadContext", &palcGetThreadContext);
    if (!palcSetThreadContext || !palcGetThreadContext) {
        fprintf(stderr,
                "Nuvex lib: ALC_EXT_thread_local_context advertised, but missing function:\n"
                "    alcSetThreadContext=%p\n"
                "    alcGetThreadContext=%p\n",
                reinterpret_cast<void *>(palcSetThreadContext),
                reinterpret_cast<void *>(palcGetThreadContext));
        palcSetThreadContext = nullptr;
        palcGetThreadContext = nullptr;
    }
}

namespace {
// Runs the unload sequence: cancel the background loads and join their
// workers (no callbacks), stop the update thread, then stop and destroy the
// live streams. The lock and the lists it uses belong to lower units whose
// objects are made before this one (lower init priorities) and so are
// destroyed after it.
struct LibraryState {
    LibraryState() { init_nuvex(); }
    ~LibraryState()
    {
        BeginUnload();
        StopBackgroundLoads();
        ShutdownUpdateThread();
        ClearLiveStreams();
    }
};

LibraryState State __attribute__((init_priority(110)));
} // namespace

// ---- Version -------------------------------------------------------

extern "C" {

NUVEX_API void NUVEX_APIENTRY nuvexGetVersion(ALuint *major, ALuint *minor)
{
    if (major)
        *major = NUVEX_VERSION_MAJOR;
    if (minor)
        *minor = NUVEX_VERSION_MINOR;
}

// ---- Devices ----------------------------------------------------------------------

NUVEX_API const ALCchar **NUVEX_APIENTRY nuvexGetDeviceNames(ALCboolean all, ALCsizei *count)
{
    return Boundary<const ALCchar **>(nullptr, [&]() -> const ALCchar ** {
        const ALCchar *list;
        if (all && alcIsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT"))
            list = alcGetString(nullptr, ALC_ALL_DEVICES_SPECIFIER);
        else
            list = alcGetString(nullptr, ALC_DEVICE_SPECIFIER);
        if (!list) {
            alcGetError(nullptr);
            return Fail<const ALCchar **>("No device names found", nullptr);
        }

        std::vector<const char *> names;
        for (const char *p = list; *p; p += strlen(p) + 1)
            names.push_back(p);

        std::unique_ptr<ALCchar *[]> array(new ALCchar *[names.size() + 1]());
        struct CopiesOwner { // frees the copies made so far if one fails
            ALCchar **array;
            size_t made = 0;
            ~CopiesOwner()
            {
                if (array)
                    for (size_t i = 0; i < made; i++)
                        delete[] array[i];
            }
        } copies{array.get()};
        for (const char *name : names) {
            size_t len = strlen(name) + 1;
            array[copies.made] = new ALCchar[len];
            memcpy(array[copies.made], name, len);
            copies.made++;
        }
        copies.array = nullptr;
        if (count)
            *count = ALCsizei(names.size());
        return const_cast<const ALCchar **>(array.release());
    });
}

NUVEX_API ALvoid NUVEX_APIENTRY nuvexFreeDeviceNames(const ALCchar **names)
{
    if (!names)
        return;
    for (size_t i = 0; names[i]; i++)
        delete[] names[i];
    delete[] names;
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexInitDevice(const ALCchar *name, const ALCint *attribs)
{
    ALCdevice *device = alcOpenDevice(name);
    if (!device) {
        alcGetError(nullptr);
        return Fail<ALboolean>("Device open failed", AL_FALSE);
    }
    ALCcontext *context = alcCreateContext(device, attribs);
    if (!context || alcMakeContextCurrent(context) == ALC_FALSE) {
        if (context)
            alcDestroyContext(context);
        alcCloseDevice(device);
        return Fail<ALboolean>("Context setup failed", AL_FALSE);
    }
    alcGetError(device);
    return AL_TRUE;
}

NUVEX_API ALboolean NUVEX_APIENTRY nuvexShutdownDevice(void)
{
    ALCcontext *context = alcGetCurrentContext();
    ALCdevice *device = alcGetContextsDevice(context);
    if (!context || !device) {
        alcGetError(device);
        return Fail<ALboolean>("Failed to get current device", AL_FALSE);
    }
    // The loads of the context end before it goes, their callbacks run.
    // Out of memory here still shuts the device down.
    Boundary<int>(0, [context] {
        CancelLoadsOf(context);
        return 0;
    });
    struct Forget {
        ALCcontext *context;
        ~Forget() { ForgetContext(context); }
    } forget{context};
    if (alcMakeContextCurrent(nullptr) == ALC_FALSE) {
        alcGetError(nullptr);
        return Fail<ALboolean>("Failed to unset current context", AL_FALSE);
    }
    alcDestroyContext(context);
    alcCloseDevice(device);
    alcGetError(nullptr);
    EmptySoundFontCache();
    return AL_TRUE;
}

} // extern "C"


// ---- Sleep and function lookup ----------------------------------------------------------

extern "C" {

NUVEX_API ALboolean NUVEX_APIENTRY nuvexSleep(ALfloat duration)
{
    if (std::isnan(duration) || duration < 0.0f)
        return Fail<ALboolean>("Invalid duration", AL_FALSE);

    // The whole-seconds field is 32 bits wide; longer waits are clamped.
    constexpr double maxWhole = 4294967295.0;
    timespec request{};
    if (double(duration) >= maxWhole) {
        request.tv_sec = time_t(4294967295u);
        request.tv_nsec = 0;
    } else {
        uint32_t whole = uint32_t(duration);
        double fraction = double(duration) - double(whole);
        request.tv_sec = time_t(whole);
        request.tv_nsec = long(fraction * 1000000000.0);
    }
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
    return AL_TRUE;
}

NUVEX_API void *NUVEX_APIENTRY nuvexGetProcAddress(const ALchar *funcname)
{
    static const struct {
        const char *name;
        void *function;
    } FunctionList[] = {
#define NUVEX_ROW(f) {#f, reinterpret_cast<void *>(f)}
        NUVEX_ROW(nuvexGetVersion),
        NUVEX_ROW(nuvexGetErrorString),
        NUVEX_ROW(nuvexGetDeviceNames),
        NUVEX_ROW(nuvexFreeDeviceNames),
        NUVEX_ROW(nuvexInitDevice),
        NUVEX_ROW(nuvexShutdownDevice),
        NUVEX_ROW(nuvexGetSampleFormat),
        NUVEX_ROW(nuvexSleep),
        NUVEX_ROW(nuvexCreateBufferFromFile),
        NUVEX_ROW(nuvexCreateBufferFromMemory),
        NUVEX_ROW(nuvexBufferDataFromFile),
        NUVEX_ROW(nuvexBufferDataFromMemory),
        NUVEX_ROW(nuvexCreateStreamFromFile),
        NUVEX_ROW(nuvexCreateStreamFromMemory),
        NUVEX_ROW(nuvexCreateStreamFromStaticMemory),
        NUVEX_ROW(nuvexCreateStreamFromCallback),
        NUVEX_ROW(nuvexGetStreamLength),
        NUVEX_ROW(nuvexRewindStream),
        NUVEX_ROW(nuvexDestroyStream),
        NUVEX_ROW(nuvexSetStreamOrder),
        NUVEX_ROW(nuvexSetStreamPatchset),
        NUVEX_ROW(nuvexInstallDecodeCallbacks),
        NUVEX_ROW(nuvexSetIOCallbacks),
        NUVEX_ROW(nuvexGetProcAddress),
        NUVEX_ROW(nuvexPlaySourceStream),
        NUVEX_ROW(nuvexPlaySource),
        NUVEX_ROW(nuvexStopSource),
        NUVEX_ROW(nuvexSetStreamPosition),
        NUVEX_ROW(nuvexGetStreamPosition),
        NUVEX_ROW(nuvexGetStreamLoopPoints),
        NUVEX_ROW(nuvexSetStreamLoopPoints),
        NUVEX_ROW(nuvexGetStreamTag),
        NUVEX_ROW(nuvexCreateBuffersFromFiles),
        NUVEX_ROW(nuvexCreateBufferFromFileAsync),
        NUVEX_ROW(nuvexCreateBufferFromMemoryAsync),
        NUVEX_ROW(nuvexSetLoadThreads),
#undef NUVEX_ROW
        {nullptr, nullptr},
    };
    size_t i = 0;
    if (funcname)
        for (; FunctionList[i].name; i++)
            if (strcmp(FunctionList[i].name, funcname) == 0)
                return FunctionList[i].function;
    if (!funcname)
        return Fail<void *>("Invalid data pointer", nullptr);
    return Fail<void *>("Function not found", FunctionList[i].function);
}

} // extern "C"
