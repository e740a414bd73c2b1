// Application decoders: the callbacks installed with
// nuvexInstallDecodeCallbacks and the streams that call them.
#pragma once

#include "instream.h"
#include "streamdec.h"

#include <map>

struct UserCallbacks {
    void *(*open_file)(const ALchar *filename);
    void *(*open_mem)(const ALubyte *data, ALuint length);
    ALboolean (*get_format)(void *handle, ALenum *format, ALuint *samplerate, ALuint *blocksize);
    ALuint (*decode)(void *handle, ALubyte *buf, ALuint bytes);
    ALboolean (*rewind)(void *handle);
    void (*close)(void *handle);
};

// Application decoders by index; negative indexes are searched before the
// built-in decoders, the others after them.
std::map<int, UserCallbacks> &InstalledCallbacks();

class customStream final : public nuvexStream {
public:
    customStream(const char *filename, const UserCallbacks &cb);
    customStream(const MemDataInfo &memory, const UserCallbacks &cb);
    customStream(void *userdata, ALenum fmt, ALuint freq, const UserCallbacks &cb);
    ~customStream() override;

    bool IsValid() override;
    bool GetFormat(ALenum *format, ALuint *frequency, ALuint *blockAlign) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;

protected:
    // An application's decoder has no seek of its own; its sounds are
    // usually short. A callback stream (no rewind) cannot seek at all.
    bool DecodesForwardToSeek() override { return callbacks.rewind != nullptr; }

private:
    void *handle = nullptr;
    ALenum format = AL_NONE;
    ALuint frequency = 0;
    ALuint blockAlign = 0;
    MemDataInfo memInfo;
    UserCallbacks callbacks;
};

