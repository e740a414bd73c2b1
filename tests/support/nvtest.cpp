#include "nvtest.h"

#include "refdecode.h"

#include <libmodplug/modplug.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace nvt {

ALuint DirectSource()
{
    ALuint source = 0;
    alGenSources(1, &source);
    alSourcei(source, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
    return source;
}

Floats ToFloat(const std::vector<int16_t> &samples)
{
    Floats out;
    for (int16_t s : samples)
        out.push_back(float(s) / 32768.0f);
    return out;
}

std::string Err() { return nuvexGetErrorString(); }

std::string TempFile(const std::string &name, const Bytes &bytes)
{
    static const struct Dir {
        std::string path;
        Dir()
        {
            char tmpl[] = "/tmp/nuvex-test-XXXXXX";
            if (!mkdtemp(tmpl))
                throw std::runtime_error("mkdtemp failed");
            path = tmpl;
        }
        ~Dir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
    } dir;
    std::string path = dir.path + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), long(bytes.size()));
    return path;
}

ALuint NextBufferName()
{
    ALuint name = 0;
    alGenBuffers(1, &name);
    alDeleteBuffers(1, &name);
    return name;
}

void RaiseALError() { alSourcePlay(0xDEADBEEF); }

std::set<ALuint> LiveBuffers()
{
    std::set<ALuint> names;
    for (ALuint id = 1; id < 1024; id++)
        if (alIsBuffer(id))
            names.insert(id);
    return names;
}

std::vector<ALint> Describe(ALuint buffer)
{
    std::vector<ALint> v(4, -1);
    const ALenum params[] = {AL_SIZE, AL_FREQUENCY, AL_BITS, AL_CHANNELS};
    for (int i = 0; i < 4; i++)
        alGetBufferi(buffer, params[i], &v[size_t(i)]);
    return v;
}

size_t FramesOf(ALuint buffer)
{
    auto d = Describe(buffer);
    return d[2] > 0 && d[3] > 0 ? size_t(d[0]) / size_t(d[3] * (d[2] / 8)) : 0;
}

Floats PlayBuffer(Loopback &dev, ALuint buffer)
{
    ALuint source = DirectSource();
    alSourcei(source, AL_BUFFER, ALint(buffer));
    alSourcePlay(source);
    Floats out = dev.Render(FramesOf(buffer));
    alDeleteSources(1, &source);
    return out;
}

Floats PlayStream(Loopback &dev, nuvexStream *stream, int numBufs, size_t maxBatches)
{
    std::vector<ALuint> bufs(static_cast<size_t>(numBufs));
    alGenBuffers(numBufs, bufs.data());
    ALuint source = DirectSource();
    Floats out;
    for (size_t batch = 0; batch < maxBatches; batch++) {
        ALsizei filled = nuvexBufferDataFromStream(stream, numBufs, bufs.data());
        size_t frames = 0;
        for (ALsizei i = 0; i < filled; i++)
            frames += FramesOf(bufs[size_t(i)]);
        if (filled <= 0)
            break;
        alSourceQueueBuffers(source, filled, bufs.data());
        alSourcePlay(source);
        Floats part = dev.Render(frames);
        out.insert(out.end(), part.begin(), part.end());
        alSourcei(source, AL_BUFFER, 0);
    }
    alDeleteSources(1, &source);
    alDeleteBuffers(numBufs, bufs.data());
    return out;
}

std::vector<int16_t> Ramp(size_t frames, int channels)
{
    std::vector<int16_t> out(frames * size_t(channels));
    for (size_t i = 0; i < out.size(); i++)
        out[i] = int16_t(uint16_t(i / size_t(channels) * 7 + i % size_t(channels) * 1000));
    return out;
}

::testing::AssertionResult Same(const Floats &got, size_t at, const Floats &want)
{
    if (at + want.size() > got.size())
        return ::testing::AssertionFailure() << "only " << got.size() << " samples, need " << at + want.size();
    auto diff = std::mismatch(want.begin(), want.end(), got.begin() + long(at));
    if (diff.first == want.end())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sample " << at + size_t(diff.first - want.begin()) << " is "
                                         << *diff.second * 32768 << ", expected " << *diff.first * 32768;
}

Floats Slice(const Floats &v, size_t from, size_t to)
{
    to = std::min(to, v.size());
    return from < to ? Floats(v.begin() + long(from), v.begin() + long(to)) : Floats();
}

Floats Repeat(const Floats &once, int times)
{
    Floats out;
    while (times-- > 0)
        out.insert(out.end(), once.begin(), once.end());
    return out;
}

std::vector<size_t> LoopedFrames(size_t length, size_t start, size_t end, int loops)
{
    end = end ? end : length;
    std::vector<size_t> frames;
    for (size_t f = 0; f < end; f++)
        frames.push_back(f);
    for (int pass = 0; pass < loops; pass++)
        for (size_t f = start; f < end; f++)
            frames.push_back(f);
    for (size_t f = end; f < length; f++)
        frames.push_back(f);
    return frames;
}

Floats Gather(const Floats &sound, int channels, const std::vector<size_t> &frames)
{
    Floats out;
    out.reserve(frames.size() * size_t(channels));
    for (size_t f : frames)
        for (int c = 0; c < channels; c++)
            out.push_back(sound.at(f * size_t(channels) + size_t(c)));
    return out;
}

void Delivery::Callback(void *self, ALuint buffer, const ALchar *error)
{
    auto *d = static_cast<Delivery *>(self);
    d->buffer = buffer;
    d->error = error ? error : "";
    d->thread = std::this_thread::get_id();
    if (d->then)
        d->then(buffer);
    d->calls++; // last, as for EndLog
}

bool Delivered(std::vector<Delivery> &all, bool manual, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    auto done = [&] { return std::all_of(all.begin(), all.end(), [](const Delivery &d) { return d.calls > 0; }); };
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        if (manual)
            nuvexUpdate();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void EndLog::Callback(void *self, ALuint source)
{
    auto *log = static_cast<EndLog *>(self);
    log->source = source;
    log->atFrame = log->clock ? *log->clock : All;
    if (log->then)
        log->then(source);
    log->calls++; // last: a thread that sees the count sees what came before
}

void Driver::Step(size_t count)
{
    Floats block = dev.Render(count ? count : step);
    out.insert(out.end(), block.begin(), block.end());
    frames += count ? count : step;
    nuvexUpdate();
}

bool Driver::RunUntil(const std::function<bool()> &done, size_t maxFrames)
{
    while (frames < maxFrames) {
        Step();
        if (done())
            return true;
    }
    return false;
}

ALuint Feed::Callback(void *self, ALubyte *data, ALuint count)
{
    auto *feed = static_cast<Feed *>(self);
    feed->asks.push_back(count);
    size_t n = std::min(size_t(count), feed->bytes.size() - feed->pos);
    std::copy_n(feed->bytes.data() + feed->pos, n, data);
    feed->pos += n;
    return ALuint(n);
}

// ---- Application decoders ------------------------------------------------------

namespace {
std::map<int, AppSound> Apps;

struct AppHandle {
    size_t pos = 0;
    bool rewound = false;
};

template <int Tag>
struct AppCallbacks {
    static void *Open(bool accept, int &count)
    {
        // Handles live as long as the process, so that one the library never
        // closes (no close callback) is counted, not leaked.
        static std::vector<std::unique_ptr<AppHandle>> pool;
        count++;
        if (!accept)
            return nullptr;
        App(Tag).opened++;
        pool.emplace_back(new AppHandle);
        return pool.back().get();
    }
    static void *OpenFile(const ALchar *name)
    {
        App(Tag).nullNames += !name;
        return Open(App(Tag).acceptFiles, App(Tag).openFiles);
    }
    static void *OpenMem(const ALubyte *, ALuint) { return Open(App(Tag).acceptMemory, App(Tag).openMems); }
    static ALboolean GetFormat(void *, ALenum *format, ALuint *rate, ALuint *block)
    {
        AppSound &s = App(Tag);
        if (s.formatFailures > 0 && s.formatFailures--)
            return AL_FALSE;
        *format = s.format, *rate = s.rate, *block = s.block;
        return AL_TRUE;
    }
    static ALuint Decode(void *handle, ALubyte *buf, ALuint bytes)
    {
        AppSound &s = App(Tag);
        if (s.onDecode)
            s.onDecode();
        auto *h = static_cast<AppHandle *>(handle);
        size_t n = s.emptyAfterRewind && h->rewound ? 0 : std::min(size_t(bytes), s.pcm.size() - h->pos);
        n = s.perCall ? std::min<size_t>(n, s.perCall) : n;
        std::copy_n(s.pcm.begin() + long(h->pos), n, buf);
        h->pos += n;
        return n ? ALuint(n) + s.overclaim : 0;
    }
    static ALboolean Rewind(void *handle)
    {
        App(Tag).rewinds++;
        *static_cast<AppHandle *>(handle) = {0, true};
        return AL_TRUE;
    }
    static void Close(void *) { App(Tag).closes++; }
    static ALboolean Install(ALint index, bool full)
    {
        return nuvexInstallDecodeCallbacks(index, OpenFile, OpenMem, GetFormat, Decode, full ? Rewind : nullptr,
                                           full ? Close : nullptr);
    }
};
} // namespace

AppSound &App(int tag) { return Apps[tag]; }

ALboolean InstallApp(int tag, ALint index, bool full)
{
    static ALboolean (*const installs[])(ALint, bool) = {AppCallbacks<0>::Install, AppCallbacks<1>::Install,
                                                         AppCallbacks<2>::Install, AppCallbacks<3>::Install};
    return installs[tag](index, full);
}

void ResetApps()
{
    for (auto &app : Apps)
        app.second = AppSound();
}

// ---- I/O callbacks -----------------------------------------------------------------

namespace {
MemFiles *Files = nullptr;

struct FileHandle {
    MemFiles::Virtual file;
    int64_t pos = 0;
    uint8_t At(uint64_t p) const
    {
        if (p < file.head.size())
            return file.head[p];
        return p - file.tailAt < file.tail.size() ? file.tail[p - file.tailAt] : 0;
    }
};

void *MemOpen(const char *name, ALuint mode)
{
    auto it = name && mode == 0 ? Files->files.find(name) : Files->files.end();
    if (it == Files->files.end())
        return nullptr;
    Files->opens++;
    return new FileHandle{it->second};
}

void MemClose(void *handle)
{
    Files->closes++;
    delete static_cast<FileHandle *>(handle);
}

ALsizei MemRead(void *handle, ALubyte *buf, ALuint bytes)
{
    auto *h = static_cast<FileHandle *>(handle);
    MemFiles &fs = *Files;
    fs.largestRead = std::max(fs.largestRead, bytes);
    if (fs.failReadsFrom >= 0 && h->pos >= fs.failReadsFrom)
        return -1;
    int64_t end = fs.failReadsFrom >= 0 ? std::min<int64_t>(h->file.size, fs.failReadsFrom) : h->file.size;
    int64_t n = std::max<int64_t>(0, std::min<int64_t>(bytes, end - h->pos));
    for (int64_t i = 0; i < n; i++)
        buf[i] = h->At(uint64_t(h->pos + i));
    h->pos += n;
    fs.bytesRead += uint64_t(n);
    // Only a whole read overclaims, so that what the library keeps was written.
    return ALsizei(n) + (n == int64_t(bytes) ? ALsizei(fs.overclaim) : 0);
}

nuvexInt64 MemSeek(void *handle, nuvexInt64 offset, ALint whence)
{
    auto *h = static_cast<FileHandle *>(handle);
    int64_t size = int64_t(h->file.size);
    int64_t to = offset + (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? h->pos : size);
    if (Files->failSeeks || whence < 0 || whence > 2 || to < 0 || to > size)
        return -1;
    return h->pos = to;
}
} // namespace

MemFiles::MemFiles()
{
    Files = this;
    nuvexSetIOCallbacks(MemOpen, MemClose, MemRead, [](void *, const ALubyte *, ALuint) -> ALsizei { return -1; },
                        MemSeek);
}

MemFiles::~MemFiles() { nuvexSetIOCallbacks(nullptr, nullptr, nullptr, nullptr, nullptr); }

// ---- Reference decoders ---------------------------------------------------------------

std::vector<int16_t> VorbisDecode(const Bytes &image)
{
    nvmedia::Decoded out;
    if (!nvmedia::DecodeVorbis(image, out))
        throw std::runtime_error("libvorbisfile cannot open the image");
    return out.s16;
}

void FreshModPlugMixer(const Bytes &image)
{
    ModPlug_Settings settings, other;
    ModPlug_GetSettings(&settings);
    other = settings;
    other.mFrequency = settings.mFrequency == 22050 ? 11025 : 22050;
    ModPlug_SetSettings(&other);
    Bytes copy(image);
    ModPlugFile *module = ModPlug_Load(copy.data(), int(copy.size()));
    ModPlug_SetSettings(&settings);
    if (!module)
        throw std::runtime_error("libmodplug cannot load the image");
    ModPlug_Unload(module);
}

std::vector<int16_t> ModPlugRender(const Bytes &image, size_t request, int order, size_t max)
{
    FreshModPlugMixer(image);
    nvmedia::Decoded out;
    nvmedia::RenderModule(image, out, request, order, max);
    FreshModPlugMixer(image); // for whatever renders next
    return out.s16;
}

void RunCalls(const std::vector<Call> &rows, bool openal)
{
    for (const Call &row : rows) {
        SCOPED_TRACE(row.what);
        alGetError();
        Err();
        EXPECT_EQ(row.call(), row.result);
        EXPECT_EQ(Err(), row.message);
        EXPECT_TRUE(!openal || alGetError() == AL_NO_ERROR) << "an OpenAL error was left pending";
    }
}

#if defined(__SANITIZE_ADDRESS__)
LeakChecksOff::LeakChecksOff(bool off) : off(off) { off ? __lsan_disable() : void(); }
LeakChecksOff::~LeakChecksOff() { off ? __lsan_enable() : void(); }
#else
LeakChecksOff::LeakChecksOff(bool off) : off(off) {}
LeakChecksOff::~LeakChecksOff() {}
#endif

} // namespace nvt
