// Application decoders: streams that call the callbacks an application
// installed, and the installation itself.
#include "appdecoders.h"

#include <algorithm>

namespace {
// Made before, and so destroyed after, the unload sequence.
std::map<int, UserCallbacks> Installed __attribute__((init_priority(103)));
} // namespace

std::map<int, UserCallbacks> &InstalledCallbacks() { return Installed; }

customStream::customStream(const char *filename, const UserCallbacks &cb)
    : nuvexStream(nullptr), callbacks(cb)
{
    if (callbacks.open_file)
        handle = callbacks.open_file(filename);
}

customStream::customStream(const MemDataInfo &memory, const UserCallbacks &cb)
    : nuvexStream(nullptr), memInfo(memory), callbacks(cb)
{
    if (callbacks.open_mem)
        handle = callbacks.open_mem(memInfo.data, memInfo.length);
}

customStream::customStream(void *userdata, ALenum fmt, ALuint freq, const UserCallbacks &cb)
    : nuvexStream(nullptr), handle(userdata), format(fmt), frequency(freq),
      blockAlign(DetectBlockAlignment(fmt)), callbacks(cb)
{
}

customStream::~customStream()
{
    if (callbacks.close && handle)
        callbacks.close(handle);
    handle = nullptr;
}

bool customStream::IsValid() { return handle != nullptr; }

bool customStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    if (format == AL_NONE) {
        if (!callbacks.get_format)
            return false;
        if (!callbacks.get_format(handle, &format, &frequency, &blockAlign))
            return false;
        ALuint formatAlign = DetectBlockAlignment(format);
        if (formatAlign != 0 && blockAlign % formatAlign != 0)
            blockAlign = 0;
    }
    *fmt = format;
    *freq = frequency;
    *align = blockAlign;
    return true;
}

ALuint customStream::GetData(ALubyte *data, ALuint bytes)
{
    // The library never trusts a callback to stay inside its own arrays.
    return std::min(callbacks.decode(handle, data, bytes), bytes);
}

bool customStream::Rewind()
{
    if (callbacks.rewind && callbacks.rewind(handle))
        return true;
    return Fail("Rewind failed", false);
}

extern "C" NUVEX_API ALboolean NUVEX_APIENTRY nuvexInstallDecodeCallbacks(
    ALint index, void *(*open_file)(const ALchar *filename),
    void *(*open_mem)(const ALubyte *data, ALuint length),
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize),
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes), ALboolean (*rewind)(void *handle),
    void (*close)(void *handle))
{
    return Boundary<ALboolean>(AL_FALSE, [&]() -> ALboolean {
        if (!open_file && !open_mem && !get_format && !decode && !rewind && !close) {
            InstalledCallbacks().erase(index);
            return AL_TRUE;
        }
        if ((open_file || open_mem) && get_format && decode) {
            InstalledCallbacks()[index] = {open_file, open_mem, get_format, decode, rewind, close};
            return AL_TRUE;
        }
        return Fail<ALboolean>("Missing callback functions", AL_FALSE);
    });
}

