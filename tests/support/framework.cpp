#include "framework.h"

#include <cstdio>

namespace nvt {

MemFs &MemFs::Get()
{
    static MemFs fs;
    return fs;
}

MemFs::~MemFs()
{
    for (Handle *h : handles)
        delete h;
}

void MemFs::Reset()
{
    MemFs &fs = Get();
    for (Handle *h : fs.handles)
        delete h;
    fs.handles.clear();
    fs = MemFs();
}

ALboolean MemFs::Install() { return nuvexSetIOCallbacks(Open, Close, Read, Write, Seek); }

void *MemFs::Open(const char *name, ALuint mode)
{
    MemFs &fs = Get();
    fs.modes.push_back(mode);
    fs.nullNames.push_back(name == nullptr);
    if (!name)
        return nullptr;
    auto it = fs.files.find(name);
    if (it == fs.files.end())
        return nullptr;
    fs.opens++;
    auto *h = new Handle;
    h->data = &it->second;
    fs.handles.push_back(h);
    return h;
}

void MemFs::Close(void *handle)
{
    Get().closes++;
    static_cast<Handle *>(handle)->closes++;
}

ALsizei MemFs::Read(void *handle, ALubyte *buf, ALuint bytes)
{
    MemFs &fs = Get();
    auto *h = static_cast<Handle *>(handle);
    fs.reads++;
    fs.largestRead = std::max(fs.largestRead, bytes);
    if (fs.failFrom >= 0 && h->pos >= fs.failFrom)
        return -1;
    int64_t end = int64_t(h->data->size());
    if (fs.failFrom >= 0)
        end = std::min(end, fs.failFrom);
    int64_t n = std::max<int64_t>(0, std::min<int64_t>(bytes, end - h->pos));
    std::copy(h->data->begin() + h->pos, h->data->begin() + h->pos + n, buf);
    h->pos += n;
    // Overclaims only while the whole request was served, so what the
    // library keeps is always bytes that were really written.
    return ALsizei(n) + (n == int64_t(bytes) ? ALsizei(fs.overclaim) : 0);
}

ALsizei MemFs::Write(void *, const ALubyte *, ALuint) { return -1; }

nuvexInt64 MemFs::Seek(void *handle, nuvexInt64 offset, ALint whence)
{
    MemFs &fs = Get();
    auto *h = static_cast<Handle *>(handle);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? h->pos : int64_t(h->data->size());
    int64_t target = base + offset;
    if (fs.failSeeks || whence < 0 || whence > 2 || target < 0 || target > int64_t(h->data->size()))
        return -1;
    h->pos = target;
    return target;
}

BufferInfo InspectBuffer(ALuint buffer)
{
    BufferInfo info;
    alGetBufferi(buffer, AL_SIZE, &info.size);
    alGetBufferi(buffer, AL_FREQUENCY, &info.frequency);
    alGetBufferi(buffer, AL_BITS, &info.bits);
    alGetBufferi(buffer, AL_CHANNELS, &info.channels);
    return info;
}

std::vector<float> RenderBuffer(LoopbackDevice &device, ALuint buffer, size_t frames)
{
    ALuint source = MakeDirectSource();
    alSourcei(source, AL_BUFFER, ALint(buffer));
    alSourcePlay(source);
    std::vector<float> out = device.Render(frames);
    alDeleteSources(1, &source);
    return out;
}

void RaiseALError()
{
    ALint ignored;
    alGetBufferi(0x7FFFFFF0, AL_SIZE, &ignored); // no such buffer: AL_INVALID_NAME
}

ALuint NextBufferName()
{
    ALuint name = 0;
    alGenBuffers(1, &name);
    alDeleteBuffers(1, &name);
    return name;
}

} // namespace nvt
