// Lock invariants are checked with assert in every build.
#undef NDEBUG
// Library core: the last error, the library's lock, the thread-local-context
// entry points and the sample formats. Every other unit builds on this one
// and it calls none of them.
#include "core.h"

#include <atomic>
#include <cassert>
#include <cstdio>

namespace {
std::atomic<const char *> last_error{"No error"};
thread_local ErrorCapture *activeCapture = nullptr;
} // namespace

void SetError(const char *message)
{
    if (activeCapture)
        activeCapture->Set(message);
    else
        last_error.store(message, std::memory_order_relaxed);
}

ErrorCapture::ErrorCapture() : outer(activeCapture) { activeCapture = this; }
ErrorCapture::~ErrorCapture() { activeCapture = outer; }
bool SharesContextErrors() { return activeCapture != nullptr; }

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

namespace {
std::atomic<bool> unloading{false};
} // namespace

void BeginUnload() { unloading = true; }
bool Unloading() { return unloading; }

namespace {
// Made before, and destroyed after, every other static object of the library:
// unload still takes the lock while it stops playbacks and streams.
struct LockOwner {
    LockOwner() { InitializeCriticalSection(&cs_StreamPlay); }
    ~LockOwner() { DeleteCriticalSection(&cs_StreamPlay); }
};
LockOwner TheLock __attribute__((init_priority(101)));
} // namespace

extern "C" NUVEX_API const ALchar *NUVEX_APIENTRY nuvexGetErrorString(void)
{
    return last_error.exchange("No error");
}

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
// happens, so a pending error rejects the candidate and is consumed. A load
// job leaves the context's error alone (it may be the application's): for a
// name, which is never null, the value alone tells.
ALenum TryFormat(const char *name)
{
    ALenum value = alGetEnumValue(name);
    if ((!SharesContextErrors() && alGetError() != AL_NO_ERROR) || value == 0 || value == -1)
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

} // extern "C"
