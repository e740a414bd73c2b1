// CPU cost of background streaming: N sources each stream a sound through
// the library (nuvexPlaySourceStream + nuvexUpdate) and, in the same run,
// through a minimal hand-written OpenAL streamer doing the same chunking on
// the same data. A loopback device renders as fast as it goes: render 1024
// frames, refill, repeat. Only the refill step is timed (rendering is the
// same work for both); the figure is refill CPU seconds per second of audio
// per source. Four tables: WAV and Ogg Vorbis, each from a memory image
// (nuvexCreateStreamFromStaticMemory against copying from the image, or
// libvorbisfile over it) and from a file (nuvexCreateStreamFromFile against
// one read(2) per chunk, or ov_fopen and an ov_read loop per chunk).
#include "benchutil.h"
#include "media.h"
#include "nuvex.h"

#include <vorbis/vorbisfile.h>

#include <AL/alext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr ALCint Rate = 44100;
constexpr ALsizei RenderFrames = 1024;
constexpr ALsizei ChunkBytes = 8192; // 2048 stereo frames
constexpr ALsizei RingSize = 4;
constexpr double SecondsPerSource = 5.0;
int Repeats = 11; // the first argument, when given

void Put16(std::vector<uint8_t> &v, uint32_t x)
{
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t> &v, uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// A stereo 16-bit WAV image of a slowly varying signal.
std::vector<uint8_t> MakeWav(size_t frames, size_t &dataOffset)
{
    std::vector<uint8_t> w;
    const uint32_t dataBytes = uint32_t(frames * 4);
    w.insert(w.end(), {'R', 'I', 'F', 'F'});
    Put32(w, 36 + dataBytes);
    w.insert(w.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(w, 16);
    Put16(w, 1);
    Put16(w, 2);
    Put32(w, Rate);
    Put32(w, Rate * 4);
    Put16(w, 4);
    Put16(w, 16);
    w.insert(w.end(), {'d', 'a', 't', 'a'});
    Put32(w, dataBytes);
    dataOffset = w.size();
    for (size_t i = 0; i < frames; i++) {
        Put16(w, uint16_t(int16_t((i * 37) % 20000 - 10000)));
        Put16(w, uint16_t(int16_t((i * 53) % 20000 - 10000)));
    }
    return w;
}

// What one pair of clock readings costs, taken off every timed refill so that
// a single source is not dominated by the measurement itself.
double ClockOverhead()
{
    std::vector<double> samples;
    for (int i = 0; i < 2001; i++) {
        double t0 = bench::ThreadCpuSeconds();
        samples.push_back(bench::ThreadCpuSeconds() - t0);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}
double TimerCost = 0;

struct Result {
    double refillCpu = 0; // seconds
    double outputSum = 0; // a checksum of what was heard
    bool complete = false;
};

// Renders until every source has stopped with nothing queued; `refill` is
// the timed step.
template <typename Refill, typename Done>
Result Drive(nvmedia::Loopback &lb, Refill refill, Done done)
{
    Result r;
    std::vector<float> out(size_t(RenderFrames) * 2);
    const size_t maxBlocks = size_t(SecondsPerSource * Rate / RenderFrames) + 64;
    for (size_t block = 0; block < maxBlocks; block++) {
        lb.Render(out.data(), RenderFrames);
        for (float s : out)
            r.outputSum += double(s);
        double t0 = bench::ThreadCpuSeconds();
        refill();
        r.refillCpu += std::max(0.0, bench::ThreadCpuSeconds() - t0 - TimerCost);
        if (done()) {
            r.complete = true;
            break;
        }
    }
    return r;
}

std::vector<ALuint> MakeSources(int n)
{
    std::vector<ALuint> sources(static_cast<size_t>(n));
    alGenSources(n, sources.data());
    for (ALuint s : sources) {
        alSourcei(s, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        alSourcef(s, AL_GAIN, 1.0f / float(n));
    }
    return sources;
}

// Opens one stream of the sound through the library.
using StreamOpener = std::function<nuvexStream *()>;

StreamOpener FromStaticMemory(const std::vector<uint8_t> &image)
{
    return [&image] {
        return nuvexCreateStreamFromStaticMemory(image.data(), ALuint(image.size()), ChunkBytes, 0,
                                                 nullptr);
    };
}

StreamOpener FromFile(const std::string &path)
{
    return [path] { return nuvexCreateStreamFromFile(path.c_str(), ChunkBytes, 0, nullptr); };
}

Result RunLibrary(nvmedia::Loopback &lb, const StreamOpener &open, int n)
{
    std::vector<ALuint> sources = MakeSources(n);
    std::vector<nuvexStream *> streams;
    int ended = 0;
    auto onEnd = [](void *count, ALuint) { ++*static_cast<int *>(count); };
    for (ALuint s : sources) {
        nuvexStream *stream = open();
        if (!stream || !nuvexPlaySourceStream(s, stream, RingSize, 0, onEnd, &ended)) {
            fprintf(stderr, "library playback failed: %s\n", nuvexGetErrorString());
            exit(1);
        }
        streams.push_back(stream);
    }
    Result r = Drive(lb, [] { nuvexUpdate(); }, [&] { return ended == n; });
    for (nuvexStream *stream : streams)
        nuvexDestroyStream(stream, 0, nullptr);
    alDeleteSources(n, sources.data());
    return r;
}

// Decodes the next chunk of one source into `chunk`; 0 at the end.
using ChunkDecoder = std::function<ALsizei(uint8_t *chunk)>;
using DecoderFactory = std::function<ChunkDecoder()>;

// A WAV by hand: parsed once, then copied chunk after chunk.
DecoderFactory WavByHand(const std::vector<uint8_t> &wav, size_t dataOffset)
{
    return [&wav, dataOffset]() -> ChunkDecoder {
        auto pos = std::make_shared<size_t>(dataOffset);
        return [&wav, pos](uint8_t *chunk) {
            size_t got = std::min(size_t(ChunkBytes), wav.size() - *pos);
            got -= got % 4;
            memcpy(chunk, wav.data() + *pos, got);
            *pos += got;
            return ALsizei(got);
        };
    };
}

// A WAV file by hand: a descriptor of its own per source, placed at the
// data, then one read(2) per chunk.
DecoderFactory WavFileByHand(const std::string &path, size_t dataOffset)
{
    return [path, dataOffset]() -> ChunkDecoder {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0 || lseek(fd, off_t(dataOffset), SEEK_SET) != off_t(dataOffset)) {
            perror(path.c_str());
            exit(1);
        }
        std::shared_ptr<int> file(new int(fd), [](int *f) {
            close(*f);
            delete f;
        });
        return [file](uint8_t *chunk) {
            ssize_t got = read(*file, chunk, ChunkBytes);
            if (got <= 0)
                return ALsizei(0);
            return ALsizei(got - got % 4);
        };
    };
}

// An Ogg Vorbis file by hand: ov_fopen, then ov_read until the chunk is full.
DecoderFactory OggFileByHand(const std::string &path)
{
    return [path]() -> ChunkDecoder {
        std::shared_ptr<OggVorbis_File> file(new OggVorbis_File, [](OggVorbis_File *f) {
            ov_clear(f);
            delete f;
        });
        if (ov_fopen(path.c_str(), file.get()) != 0) {
            fprintf(stderr, "libvorbisfile cannot open %s\n", path.c_str());
            exit(1);
        }
        return [file](uint8_t *chunk) {
            ALsizei got = 0;
            int section = 0;
            while (got < ChunkBytes) {
                long n = ov_read(file.get(), reinterpret_cast<char *>(chunk + got),
                                 ChunkBytes - got, 0, 2, 1, &section);
                if (n <= 0)
                    break;
                got += ALsizei(n);
            }
            return got - got % 4;
        };
    };
}

// An Ogg Vorbis image by hand: libvorbisfile over memory, ov_read until the
// chunk is full, as any application would write it.
struct OggMemory {
    const std::vector<uint8_t> *image;
    size_t pos = 0;
    OggVorbis_File file;
    static size_t Read(void *dst, size_t size, size_t count, void *src)
    {
        auto *m = static_cast<OggMemory *>(src);
        size_t n = std::min(size * count, m->image->size() - m->pos);
        memcpy(dst, m->image->data() + m->pos, n);
        m->pos += n;
        return size ? n / size : 0;
    }
    static int Seek(void *src, ogg_int64_t offset, int whence)
    {
        auto *m = static_cast<OggMemory *>(src);
        int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(m->pos)
                                                                   : int64_t(m->image->size());
        if (base + offset < 0 || base + offset > int64_t(m->image->size()))
            return -1;
        m->pos = size_t(base + offset);
        return 0;
    }
    static long Tell(void *src) { return long(static_cast<OggMemory *>(src)->pos); }
    ~OggMemory() { ov_clear(&file); }
};

DecoderFactory OggByHand(const std::vector<uint8_t> &ogg)
{
    return [&ogg]() -> ChunkDecoder {
        auto m = std::make_shared<OggMemory>();
        m->image = &ogg;
        const ov_callbacks io = {OggMemory::Read, OggMemory::Seek, nullptr, OggMemory::Tell};
        if (ov_open_callbacks(m.get(), &m->file, nullptr, 0, io) != 0) {
            fprintf(stderr, "libvorbisfile cannot open the benchmark's Ogg image\n");
            exit(1);
        }
        return [m](uint8_t *chunk) {
            ALsizei got = 0;
            int section = 0;
            while (got < ChunkBytes) {
                long n = ov_read(&m->file, reinterpret_cast<char *>(chunk + got),
                                 ChunkBytes - got, 0, 2, 1, &section);
                if (n <= 0)
                    break;
                got += ALsizei(n);
            }
            return got - got % 4;
        };
    };
}

// What an application writes when it streams by hand: decode chunk after
// chunk into a transfer buffer and upload it. Each stream has a transfer
// buffer of its own, as the library's streams do, or all share one (less
// memory touched, so fewer cache misses with many sources).
Result RunHandWritten(nvmedia::Loopback &lb, const DecoderFactory &makeDecoder, int n,
                      bool sharedBuffer)
{
    struct Feed {
        ALuint source;
        ALuint buffers[RingSize];
        ChunkDecoder next;
        bool drained;
        std::vector<uint8_t> own;
        uint8_t *chunk;
    };
    std::vector<ALuint> sources = MakeSources(n);
    std::vector<Feed> feeds(static_cast<size_t>(n));
    std::vector<uint8_t> shared(ChunkBytes);
    for (int i = 0; i < n; i++) {
        Feed &f = feeds[size_t(i)];
        f.source = sources[size_t(i)];
        f.next = makeDecoder();
        f.drained = false;
        if (!sharedBuffer)
            f.own.resize(ChunkBytes);
        f.chunk = sharedBuffer ? shared.data() : f.own.data();
        alGenBuffers(RingSize, f.buffers);
        for (ALuint b : f.buffers) {
            ALsizei got = f.next(f.chunk);
            alBufferData(b, AL_FORMAT_STEREO16, f.chunk, got, Rate);
        }
        alSourceQueueBuffers(f.source, RingSize, f.buffers);
        alSourcePlay(f.source);
    }
    int ended = 0;
    auto refill = [&] {
        for (Feed &f : feeds) {
            if (f.drained)
                continue;
            ALint state = 0, processed = 0, queued = 0;
            alGetSourcei(f.source, AL_SOURCE_STATE, &state);
            alGetSourcei(f.source, AL_BUFFERS_PROCESSED, &processed);
            while (processed-- > 0) {
                ALuint b;
                alSourceUnqueueBuffers(f.source, 1, &b);
                ALsizei got = f.next(f.chunk);
                if (got > 0) {
                    alBufferData(b, AL_FORMAT_STEREO16, f.chunk, got, Rate);
                    alSourceQueueBuffers(f.source, 1, &b);
                }
            }
            alGetSourcei(f.source, AL_BUFFERS_QUEUED, &queued);
            if (state != AL_PLAYING) {
                if (queued == 0) {
                    f.drained = true;
                    ended++;
                } else {
                    alSourcePlay(f.source);
                }
            }
        }
    };
    Result r = Drive(lb, refill, [&] { return ended == n; });
    for (Feed &f : feeds) {
        alSourcei(f.source, AL_BUFFER, 0);
        alDeleteBuffers(RingSize, f.buffers);
    }
    alDeleteSources(n, sources.data());
    return r;
}

// One table of the library against the two hand-written variants.
void Compare(nvmedia::Loopback &lb, const char *name, const StreamOpener &library,
             const DecoderFactory &byHand)
{
    printf("\n%s\n", name);
    printf("%8s %14s %24s %24s %8s\n", "sources", "library", "by hand, buffer each",
           "by hand, one buffer", "output");
    printf("%8s %14s %24s %24s\n", "", "us/s/source", "us/s/source  (ratio)",
           "us/s/source  (ratio)");
    double perSourceAt16 = 0, ownAt16 = 0;
    for (int n : {1, 16, 64}) {
        std::vector<double> lib, own, shared, ratioOwn, ratioShared;
        bool same = true, complete = true;
        for (int rep = 0; rep < Repeats; rep++) {
            // Rotate the order so that no variant always runs first or last.
            Result r[3];
            for (int k = 0; k < 3; k++) {
                int which = (rep + k) % 3;
                if (which == 0)
                    r[0] = RunLibrary(lb, library, n);
                else
                    r[which] = RunHandWritten(lb, byHand, n, which == 2);
            }
            for (const Result &x : r) {
                complete = complete && x.complete;
                same = same && x.outputSum == r[0].outputSum;
            }
            const double audio = SecondsPerSource * n;
            lib.push_back(r[0].refillCpu / audio);
            own.push_back(r[1].refillCpu / audio);
            shared.push_back(r[2].refillCpu / audio);
            // Ratios of runs made one after the other, under the same load:
            // their median is steadier than the ratio of the medians.
            ratioOwn.push_back(r[0].refillCpu / r[1].refillCpu);
            ratioShared.push_back(r[0].refillCpu / r[2].refillCpu);
        }
        const double l = bench::Median(lib);
        if (n == 16) {
            perSourceAt16 = l;
            ownAt16 = bench::Median(own);
        }
        printf("%8d %14.2f %14.2f (%6.3fx) %14.2f (%6.3fx) %8s %7s", n, l * 1e6,
               bench::Median(own) * 1e6, bench::Median(ratioOwn), bench::Median(shared) * 1e6,
               bench::Median(ratioShared), !complete ? "CUT" : same ? "same" : "DIFFERS",
               bench::Median(ratioOwn) <= 1.15 ? "meets" : "MISSES");
        if (n == 64)
            printf("   per source, 64 vs 16 sources: library %.2fx, by hand %.2fx",
                   l / perSourceAt16, bench::Median(own) / ownAt16);
        printf("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && atoi(argv[1]) > 0)
        Repeats = atoi(argv[1]);
    nvmedia::Loopback lb(2, Rate, {ALC_MONO_SOURCES, 4, ALC_STEREO_SOURCES, 128});
    if (!lb.ok()) {
        fprintf(stderr, "no ALC_SOFT_loopback device\n");
        return 1;
    }
    size_t dataOffset = 0;
    const size_t frames = size_t(SecondsPerSource * Rate);
    std::vector<uint8_t> wav = MakeWav(frames, dataOffset);
    std::vector<uint8_t> ogg =
        nvmedia::EncodeOgg(nvmedia::Tones16(frames, Rate, {440.0, 660.0}, 12000.0), 2, Rate);
    TimerCost = ClockOverhead();
    char dir[] = "/tmp/nuvex-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string wavPath = std::string(dir) + "/stream.wav";
    const std::string oggPath = std::string(dir) + "/stream.ogg";
    for (const auto &file : {std::make_pair(&wavPath, &wav), std::make_pair(&oggPath, &ogg)}) {
        FILE *f = fopen(file.first->c_str(), "wb");
        if (!f || fwrite(file.second->data(), 1, file.second->size(), f) != file.second->size() ||
            fclose(f) != 0) {
            perror(file.first->c_str());
            return 1;
        }
    }

    printf("Streaming refill CPU: stereo 16-bit %d Hz, %.0f s per source, chunk %d bytes, "
           "ring %d, render %d frames per update, median of %d runs\n"
           "(a clock reading, %.2f us, is taken off each timed refill)\n",
           Rate, SecondsPerSource, ChunkBytes, RingSize, RenderFrames, Repeats, TimerCost * 1e6);
    Compare(lb, "WAV from memory", FromStaticMemory(wav), WavByHand(wav, dataOffset));
    Compare(lb, "WAV from a file (by hand: one read(2) per chunk)", FromFile(wavPath),
            WavFileByHand(wavPath, dataOffset));
    Compare(lb, "Ogg Vorbis from memory (decoding included on both sides)", FromStaticMemory(ogg),
            OggByHand(ogg));
    Compare(lb, "Ogg Vorbis from a file (by hand: ov_fopen, one ov_read loop per chunk)",
            FromFile(oggPath), OggFileByHand(oggPath));
    unlink(wavPath.c_str());
    unlink(oggPath.c_str());
    rmdir(dir);
    printf("\nTarget: ratio to the by-hand streamer with a buffer each at most 1.15x (the\n"
           "verdict column), cost per source flat as sources grow. A single source also\n"
           "carries the per-update costs (lock, context guard) alone.\n"
           "Usage: bench_streaming [runs per figure]\n");
    return 0;
}
