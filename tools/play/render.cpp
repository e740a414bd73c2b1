// Output devices, and rendering through a loopback device into a WAV file.
#include "play.h"
#include "player.h"

#include <cstring>

namespace nvplay {

// ---- WAV output -------------------------------------------------------------------------

void PutLE(std::vector<unsigned char> &out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out.push_back((unsigned char)(value >> (8 * i)));
}

// Writes the samples as they arrive and fixes the sizes in the header at the end.
class WavWriter {
public:
    bool Open(const std::string &path, int channels, int rate, bool isFloat)
    {
        file_ = fopen(path.c_str(), "wb");
        if (!file_)
            return false;
        channels_ = channels;
        rate_ = rate;
        float_ = isFloat;
        std::vector<unsigned char> header = Header(0);
        return fwrite(header.data(), 1, header.size(), file_) == header.size();
    }

    bool Write(const float *samples, size_t frames)
    {
        const size_t count = frames * size_t(channels_);
        std::vector<unsigned char> bytes;
        bytes.reserve(count * (float_ ? 4 : 2));
        for (size_t i = 0; i < count; i++) {
            if (float_) {
                uint32_t bits;
                memcpy(&bits, &samples[i], 4);
                PutLE(bytes, bits, 4);
            } else {
                // Exact for sources of 16 bits or fewer: OpenAL hands them over as
                // sample / 32768, which scales back without rounding.
                float scaled = std::nearbyint(samples[i] * 32768.0f);
                long value = scaled > 32767.0f ? 32767 : scaled < -32768.0f ? -32768 : long(scaled);
                PutLE(bytes, uint32_t(value) & 0xFFFF, 2);
            }
        }
        frames_ += frames;
        return fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    }

    bool Close()
    {
        if (!file_)
            return true;
        std::vector<unsigned char> header = Header(frames_);
        bool ok = fseek(file_, 0, SEEK_SET) == 0 &&
                  fwrite(header.data(), 1, header.size(), file_) == header.size();
        ok = fclose(file_) == 0 && ok;
        file_ = nullptr;
        return ok;
    }

    uint64_t Frames() const { return frames_; }

private:
    std::vector<unsigned char> Header(uint64_t frames) const
    {
        const uint32_t sampleBytes = float_ ? 4 : 2;
        const uint32_t frameBytes = sampleBytes * uint32_t(channels_);
        const uint32_t dataBytes = uint32_t(frames * frameBytes);
        std::vector<unsigned char> h;
        h.insert(h.end(), {'R', 'I', 'F', 'F'});
        // Float data is announced with an extended "fmt " and a "fact" chunk.
        const uint32_t fmtBytes = float_ ? 18 : 16;
        const uint32_t factBytes = float_ ? 12 : 0;
        PutLE(h, 4 + (8 + fmtBytes) + factBytes + 8 + dataBytes, 4);
        h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        PutLE(h, fmtBytes, 4);
        PutLE(h, float_ ? 3 : 1, 2);
        PutLE(h, uint32_t(channels_), 2);
        PutLE(h, uint32_t(rate_), 4);
        PutLE(h, uint32_t(rate_) * frameBytes, 4);
        PutLE(h, frameBytes, 2);
        PutLE(h, sampleBytes * 8, 2);
        if (float_) {
            PutLE(h, 0, 2);
            h.insert(h.end(), {'f', 'a', 'c', 't'});
            PutLE(h, 4, 4);
            PutLE(h, uint32_t(frames), 4);
        }
        h.insert(h.end(), {'d', 'a', 't', 'a'});
        PutLE(h, dataBytes, 4);
        return h;
    }

    FILE *file_ = nullptr;
    int channels_ = 0;
    int rate_ = 0;
    bool float_ = false;
    uint64_t frames_ = 0;
};

// ---- Output devices ----------------------------------------------------------------------

// The loopback renderer, with the player's words for what it cannot do.
bool OpenLoopback(nvmedia::Loopback &loopback)
{
    switch (loopback.Open()) {
    case nvmedia::Loopback::Status::Ok:
        return true;
    case nvmedia::Loopback::Status::NoExtension:
        fprintf(stderr, "%s: this OpenAL has no ALC_SOFT_loopback, so nothing can be "
                        "rendered to a file: install OpenAL Soft\n", Prog);
        return false;
    default:
        fprintf(stderr, "%s: the loopback device could not be opened\n", Prog);
        return false;
    }
}

bool ConfigureLoopback(nvmedia::Loopback &loopback, int channels, int rate)
{
    switch (loopback.Configure(channels, rate)) {
    case nvmedia::Loopback::Status::Ok:
        return true;
    case nvmedia::Loopback::Status::Unsupported:
        fprintf(stderr, "%s: cannot render %d channels at %d Hz\n", Prog, channels, rate);
        return false;
    default:
        fprintf(stderr, "%s: the loopback device refused %d channels at %d Hz\n", Prog, channels,
                rate);
        return false;
    }
}

int ListDevices()
{
    ALCsizei count = 0;
    const ALCchar **names = nuvexGetDeviceNames(AL_TRUE, &count);
    if (!names || count == 0) {
        if (names)
            nuvexFreeDeviceNames(names);
        else
            ReportError("devices", "none found");
        fprintf(stderr, "%s: no output devices; --render OUT.wav works without one\n", Prog);
        return ExitFailed;
    }
    const char *def = nullptr;
    if (alcIsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT"))
        def = alcGetString(nullptr, ALC_DEFAULT_ALL_DEVICES_SPECIFIER);
    else
        def = alcGetString(nullptr, ALC_DEFAULT_DEVICE_SPECIFIER);
    for (ALCsizei i = 0; i < count; i++)
        printf("%s%s\n", names[i], def && strcmp(def, names[i]) == 0 ? "  (default)" : "");
    nuvexFreeDeviceNames(names);
    return ExitOk;
}

int Render(const Options &opt)
{
    nvmedia::Loopback loopback;
    WavWriter out;
    if (!OpenLoopback(loopback))
        return ExitFailed;
    int status = ExitOk;
    int played = 0;
    std::vector<float> samples;
    for (const std::string &path : opt.files) {
        if (StopSignal)
            break;
        SoundInfo info;
        // The output's layout and rate come from the first file that opens.
        if (!loopback.rate && !ConfigureLoopback(loopback, 2, 44100))
            return ExitFailed;
        if (!Probe(path, opt, info)) {
            status = ExitFailed;
            continue;
        }
        if (played == 0) {
            int rate = opt.rate ? int(opt.rate) : info.rate;
            if (!ConfigureLoopback(loopback, info.channels, rate))
                return ExitFailed;
            if (!out.Open(opt.render, info.channels, rate, opt.floatOut)) {
                fprintf(stderr, "%s: %s: cannot write the output file (%s)\n", Prog,
                        opt.render.c_str(), strerror(errno));
                return ExitFailed;
            }
        }
        Player player(opt);
        if (!player.Start(path)) {
            status = ExitFailed;
            continue;
        }
        played++;
        Progress progress(opt, BaseName(path), info);
        progress.Start("Rendering");
        uint64_t rendered = 0;
        auto lastShown = std::chrono::steady_clock::now();
        while (!player.Ended() && !StopSignal) {
            size_t frames = player.SafeFrames(loopback.rate, info.rate);
            samples.resize(frames * size_t(loopback.channels));
            loopback.Render(samples.data(), frames);
            if (!out.Write(samples.data(), frames)) {
                fprintf(stderr, "%s: %s: write failed (%s)\n", Prog, opt.render.c_str(),
                        strerror(errno));
                return ExitFailed;
            }
            rendered += frames;
            nuvexUpdate();
            player.TopUp();
            // Every step, though drawn only now and then: the steps are
            // what keeps passes from going by unseen.
            const double heard = player.Heard();
            progress.Follow(heard);
            auto now = std::chrono::steady_clock::now();
            if (now - lastShown > std::chrono::milliseconds(200)) {
                progress.Show(double(rendered) / loopback.rate, heard);
                lastShown = now;
            }
        }
        if (StopSignal)
            progress.Show(double(rendered) / loopback.rate, player.Heard());
        else
            progress.ShowEnd(double(rendered) / loopback.rate);
        progress.Finish();
    }
    if (played > 0) {
        if (!out.Close()) {
            fprintf(stderr, "%s: %s: could not finish the file (%s)\n", Prog, opt.render.c_str(),
                    strerror(errno));
            return ExitFailed;
        }
        if (!opt.quiet)
            printf("Wrote %s: %llu frames (%.3f s), %d channels, %d Hz, %s\n",
                   opt.render.c_str(), (unsigned long long)out.Frames(),
                   double(out.Frames()) / loopback.rate, loopback.channels, loopback.rate,
                   opt.floatOut ? "32-bit float" : "16-bit PCM");
    } else if (!StopSignal) {
        fprintf(stderr, "%s: nothing could be rendered, so %s was not written\n", Prog,
                opt.render.c_str());
    }
    return StopSignal ? ExitInterrupted : status;
}

} // namespace nvplay
