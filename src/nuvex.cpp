// Lock and registry invariants are checked with assert in every build.
#undef NDEBUG
// Library core: last error, version, the lock, load and unload, devices,
// sample formats, sleep and function lookup.
#include "core.h"
#include "playback.h"
#include "streamdec.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {
std::atomic<const char *> last_error{"No error"};
}

void SetError(const char *message) { last_error.store(message, std::memory_order_relaxed); }

pthread_mutex_t cs_StreamPlay;
ALCboolean(ALC_APIENTRY *palcSetThreadContext)(ALCcontext *context) = nullptr;
ALCcontext *(ALC_APIENTRY *palcGetThreadContext)(void) = nullptr;

// ---- The lock -------------------------------------------------------------

void InitializeCriticalSection(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attrib;
    int ret = pthread_mutexattr_init(&attrib);
    assert(ret == 0);
    ret = pthread_mutexattr_settype(&attrib, PTHREAD_MUTEX_RECURSIVE);
    assert(ret == 0);
    ret = pthread_mutex_init(mutex, &attrib);
    assert(ret == 0);
    pthread_mutexattr_destroy(&attrib);
    (void)ret;
}

namespace {
thread_local int streamPlayDepth = 0;
}

int StreamPlayDepth() { return streamPlayDepth; }

void EnterCriticalSection(pthread_mutex_t *mutex)
{
    int ret = pthread_mutex_lock(mutex);
    assert(ret == 0);
    (void)ret;
    if (mutex == &cs_StreamPlay)
        streamPlayDepth++;
}

void LeaveCriticalSection(pthread_mutex_t *mutex)
{
    if (mutex == &cs_StreamPlay)
        streamPlayDepth--;
    int ret = pthread_mutex_unlock(mutex);
    assert(ret == 0);
    (void)ret;
}

void DeleteCriticalSection(pthread_mutex_t *mutex)
{
    int ret = pthread_mutex_destroy(mutex);
    assert(ret == 0);
    (void)ret;
}

// ---- Load and unload ---------------------------------------------------------

template <typename T>
static void LoadALCProc(ALCdevice *device, const char *name, T **func)
{
    *func = reinterpret_cast<T *>(alcGetProcAddress(device, name));
}

static void init_nuvex()
{
    InitializeCriticalSection(&cs_StreamPlay);
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
// The lock is the first member, so it is destroyed after everything else.
struct CriticalSectionOwner {
    ~CriticalSectionOwner() { DeleteCriticalSection(&cs_StreamPlay); }
};

// Everything the library keeps from load to unload, in one object whose
// destructor runs the whole unload sequence: stop the update thread, stop and
// destroy the live streams, then the containers, and the lock last. It is
// constructed before any other static object of the library, so it is
// destroyed after all of them, whatever order the platform gives the units.
struct LibraryState {
    CriticalSectionOwner lockOwner;
    std::mutex streamListMutex;
    std::list<nuvexStream *> streamList;
    std::map<int, UserCallbacks> installedCallbacks;
    std::list<AsyncPlayEntry> asyncPlayList;

    LibraryState() { init_nuvex(); }
    ~LibraryState()
    {
        ShutdownUpdateThread();
        nuvexStream::Clear();
    }
};

LibraryState State __attribute__((init_priority(101)));
} // namespace

std::mutex &StreamListMutex() { return State.streamListMutex; }
std::list<nuvexStream *> &StreamList() { return State.streamList; }
std::map<int, UserCallbacks> &InstalledCallbacks() { return State.installedCallbacks; }
std::list<AsyncPlayEntry> &AsyncPlayList() { return State.asyncPlayList; }

// ---- Errors and version -------------------------------------------------------

extern "C" {

NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetErrorString(void)
{
    return last_error.exchange("No error");
}

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
    if (alcMakeContextCurrent(nullptr) == ALC_FALSE) {
        alcGetError(nullptr);
        return Fail<ALboolean>("Failed to unset current context", AL_FALSE);
    }
    alcDestroyContext(context);
    alcCloseDevice(device);
    alcGetError(nullptr);
    return AL_TRUE;
}

} // extern "C"

// ---- Sample formats -----------------------------------------------------------------

namespace {
struct FormatRow {
    ALenum format;
    ALuint blockAlign;
    ALuint framesPerBlock;
};

constexpr FormatRow KnownFormats[] = {
    {0x1100, 1, 1},   {0x1101, 2, 1},   {0x1102, 2, 1},   {0x1103, 4, 1},   {0x1204, 4, 1},
    {0x1205, 8, 1},   {0x1206, 16, 1},  {0x1207, 2, 1},   {0x1208, 4, 1},   {0x1209, 8, 1},
    {0x120A, 6, 1},   {0x120B, 12, 1},  {0x120C, 24, 1},  {0x120D, 7, 1},   {0x120E, 14, 1},
    {0x120F, 28, 1},  {0x1210, 8, 1},   {0x1211, 16, 1},  {0x1212, 32, 1},  {0x1300, 36, 65},
    {0x1301, 72, 65}, {0x10010, 4, 1},  {0x10011, 8, 1},  {0x10012, 8, 1},  {0x10013, 16, 1},
    {0x10014, 1, 1},  {0x10015, 2, 1},  {0x10021, 4, 1},  {0x10022, 2, 1},  {0x10023, 6, 1},
    {0x10024, 7, 1},  {0x10025, 8, 1},
};

const FormatRow *FindFormat(ALenum format)
{
    for (const FormatRow &row : KnownFormats)
        if (row.format == format)
            return &row;
    return nullptr;
}

// Asks the implementation for a format by name; the alGetError call always
// happens, so a pending error rejects the candidate and is consumed.
ALenum TryFormat(const char *name)
{
    ALenum value = alGetEnumValue(name);
    if (alGetError() != AL_NO_ERROR || value == 0 || value == -1)
        return 0;
    return value;
}

struct ChannelNames {
    const char *mono, *stereo, *quad, *x51, *x61, *x71, *quadLoki;
};

ALenum PickByChannels(ALuint channels, const ChannelNames &n, const char *failure)
{
    ALenum format = 0;
    if (channels == 1 && (format = TryFormat(n.mono)))
        return format;
    if (channels == 2 && (format = TryFormat(n.stereo)))
        return format;
    if (n.quad && alIsExtensionPresent("AL_EXT_MCFORMATS")) {
        const char *name = channels == 4   ? n.quad
                           : channels == 6 ? n.x51
                           : channels == 7 ? n.x61
                           : channels == 8 ? n.x71
                                           : nullptr;
        if (name && (format = TryFormat(name)))
            return format;
    }
    if (n.quadLoki && alIsExtensionPresent("AL_LOKI_quadriphonic") && channels == 4 &&
        (format = TryFormat(n.quadLoki)))
        return format;
    return Fail<ALenum>(failure, 0);
}
} // namespace

ALenum GetSampleFormat(ALuint channels, ALuint bits, bool isFloat)
{
    if (!isFloat) {
        if (bits == 8)
            return PickByChannels(channels,
                                  {"AL_FORMAT_MONO8", "AL_FORMAT_STEREO8", "AL_FORMAT_QUAD8",
                                   "AL_FORMAT_51CHN8", "AL_FORMAT_61CHN8", "AL_FORMAT_71CHN8",
                                   "AL_FORMAT_QUAD8_LOKI"},
                                  "Unsupported 8-bit channel count\n");
        if (bits == 16)
            return PickByChannels(channels,
                                  {"AL_FORMAT_MONO16", "AL_FORMAT_STEREO16", "AL_FORMAT_QUAD16",
                                   "AL_FORMAT_51CHN16", "AL_FORMAT_61CHN16", "AL_FORMAT_71CHN16",
                                   "AL_FORMAT_QUAD16_LOKI"},
                                  "Unsupported 16-bit channel count\n");
        return Fail<ALenum>("Unsupported PCM bit depth\n", 0);
    }
    if (bits == 32 && alIsExtensionPresent("AL_EXT_FLOAT32"))
        return PickByChannels(channels,
                              {"AL_FORMAT_MONO_FLOAT32", "AL_FORMAT_STEREO_FLOAT32",
                               "AL_FORMAT_QUAD32", "AL_FORMAT_51CHN32", "AL_FORMAT_61CHN32",
                               "AL_FORMAT_71CHN32", nullptr},
                              "Unsupported float32 channel count\n");
    if (bits == 64 && alIsExtensionPresent("AL_EXT_DOUBLE"))
        return PickByChannels(channels,
                              {"AL_FORMAT_MONO_DOUBLE_EXT", "AL_FORMAT_STEREO_DOUBLE_EXT",
                               nullptr, nullptr, nullptr, nullptr, nullptr},
                              "Unsupported double channel count\n");
    return Fail<ALenum>("Unsupported float bit depth\n", 0);
}

ALuint DetectBlockAlignment(ALenum format)
{
    const FormatRow *row = FindFormat(format);
    return row ? row->blockAlign : 0;
}

ALuint DetectCompressionRate(ALenum format)
{
    const FormatRow *row = FindFormat(format);
    if (!row) {
        fprintf(stderr, "Nuvex lib: Unhandled format: %#x\n", unsigned(format));
        return 0;
    }
    return row->framesPerBlock;
}

extern "C" {

NUVEX_API ALenum NUVEX_APIENTRY nuvexGetSampleFormat(ALuint channels, ALuint bits,
                                                     ALuint floatbits)
{
    if (OpenALErrorPending())
        return Fail<ALenum>("Existing OpenAL error", AL_NONE);
    if (bits && floatbits)
        return Fail<ALenum>("Both bit-types specified", AL_NONE);
    if (bits)
        return GetSampleFormat(channels, bits, false);
    return GetSampleFormat(channels, floatbits, true);
}

// ---- Sleep and function lookup ----------------------------------------------------------

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
