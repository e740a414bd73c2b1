// nuvex-play: plays sound files through nuvex, renders them to a WAV file
// without a sound card, or describes them. It uses nothing but the public
// header and plain OpenAL, so it doubles as a worked example of the library.
#include "loopback.h"
#include "nuvex.h"

#include <AL/alext.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <new>
#include <vector>

#include <unistd.h>

#ifndef NUVEX_PLAY_VERSION
#define NUVEX_PLAY_VERSION "unknown"
#endif

namespace {

const char *const Prog = "nuvex-play";

// Exit statuses: a usage error is told apart from a file that failed.
enum { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitInterrupted = 130 };

volatile sig_atomic_t StopSignal = 0;

void OnSignal(int sig)
{
    StopSignal = sig;
    // A second Ctrl-C ends the process at once, should the clean stop hang.
    signal(sig, SIG_DFL);
}

void InstallSignalHandlers()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// ---- Options ---------------------------------------------------------------------

struct Options {
    std::string device;
    bool haveDevice = false;
    bool load = false;
    long loops = 0;
    long order = -1; // -1: not given
    double start = -1.0; // seconds; -1: not given
    std::string startText;
    long chunkMs = 250;
    long buffers = 4;
    double gain = 1.0;
    bool listDevices = false;
    bool info = false;
    bool version = false;
    bool help = false;
    std::string render;
    bool floatOut = false;
    long rate = 0; // 0: the first sound's own rate
    std::string soundfont;
    bool quiet = false;
    std::vector<std::string> files;
};

void PrintUsage(FILE *out)
{
    fprintf(out,
            "Usage: %s [options] FILE...\n"
            "Plays WAV, AIFF, Ogg Vorbis, tracker-module and MIDI files one after another.\n"
            "\n"
            "  --device NAME     play through this output device (see --list-devices)\n"
            "  --load            decode each file into one buffer instead of streaming it\n"
            "  --loop N          play each file N more times (-1: until interrupted)\n"
            "  --order N         start tracker modules at pattern order N\n"
            "  --soundfont FILE  play MIDI files with this SoundFont (else NUVEX_SOUNDFONT,\n"
            "                    else FluidSynth's default)\n"
            "  --start TIME      start each streamed file TIME in: seconds (90, 1.5)\n"
            "                    or minutes and seconds (1:30)\n"
            "  --chunk-ms MS     length of each streaming buffer in milliseconds (250)\n"
            "  --buffers N       number of streaming buffers, 2 or more (4)\n"
            "  --gain G          playback gain, 0 or more (1.0)\n"
            "  --render OUT.wav  no sound card needed: render what a listener would hear\n"
            "                    into a WAV file, as fast as the machine goes\n"
            "  --float           with --render: write 32-bit float samples (else 16-bit)\n"
            "  --rate HZ         with --render: output rate (the first file's own rate)\n"
            "  --info            print format, channels, rate and length; play nothing\n"
            "  --list-devices    print the output devices OpenAL offers\n"
            "  --quiet           print nothing but errors\n"
            "  --version         print the version\n"
            "  --help            print this help\n"
            "\n"
            "Exit status: 0 success, 1 a file or the device failed, 2 bad usage,\n"
            "130 interrupted by Ctrl-C.\n",
            Prog);
}

bool UsageError(const std::string &what)
{
    fprintf(stderr, "%s: %s (see %s --help)\n", Prog, what.c_str(), Prog);
    return false;
}

bool ParseLong(const std::string &text, long min, long max, long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool ParseDouble(const std::string &text, double min, double max, double &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    double value = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    out = value;
    return true;
}

// Seconds ("90", "1.5") or minutes and seconds ("1:30", "1:02.5").
bool ParseTime(const std::string &text, double &seconds)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return ParseDouble(text, 0.0, 1e9, seconds);
    long minutes = 0;
    double rest = 0.0;
    const std::string secondsPart = text.substr(colon + 1);
    if (!ParseLong(text.substr(0, colon), 0, 10000000, minutes) || secondsPart.empty() ||
        !isdigit((unsigned char)secondsPart[0]) || !ParseDouble(secondsPart, 0.0, 59.999999, rest))
        return false;
    seconds = double(minutes) * 60.0 + rest;
    return true;
}

bool ParseOptions(int argc, char **argv, Options &opt)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            opt.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        // Options without a value.
        struct Flag {
            const char *name;
            bool Options::*member;
        };
        static const Flag flags[] = {
            {"--load", &Options::load},       {"--list-devices", &Options::listDevices},
            {"--info", &Options::info},       {"--version", &Options::version},
            {"--float", &Options::floatOut},  {"--quiet", &Options::quiet},
            {"--help", &Options::help},
        };
        bool matched = false;
        for (const Flag &flag : flags) {
            if (arg == flag.name) {
                if (inlineValue)
                    return UsageError("option " + arg + " takes no value");
                opt.*flag.member = true;
                matched = true;
            }
        }
        if (arg == "-q") {
            opt.quiet = matched = true;
        } else if (arg == "-h") {
            opt.help = matched = true;
        }
        if (matched)
            continue;

        static const char *const withValue[] = {"--device", "--loop",  "--order",  "--chunk-ms",
                                                "--buffers", "--gain", "--render", "--rate",
                                                "--soundfont", "--start"};
        bool known = false;
        for (const char *name : withValue)
            known = known || arg == name;
        if (!known)
            return UsageError("unknown option '" + arg + "'");
        if (!inlineValue) {
            if (i + 1 >= argc)
                return UsageError("option " + arg + " needs a value");
            value = argv[++i];
        }

        if (arg == "--device") {
            opt.device = value;
            opt.haveDevice = true;
        } else if (arg == "--render") {
            if (value.empty())
                return UsageError("--render needs an output file name");
            opt.render = value;
        } else if (arg == "--loop") {
            if (!ParseLong(value, -1, INT_MAX - 1, opt.loops))
                return UsageError("--loop needs a whole number, -1 or more, not '" + value + "'");
        } else if (arg == "--order") {
            if (!ParseLong(value, 0, INT_MAX, opt.order))
                return UsageError("--order needs a whole number, 0 or more, not '" + value + "'");
        } else if (arg == "--chunk-ms") {
            if (!ParseLong(value, 1, 60000, opt.chunkMs))
                return UsageError("--chunk-ms needs a number of milliseconds from 1 to 60000, "
                                  "not '" + value + "'");
        } else if (arg == "--buffers") {
            if (!ParseLong(value, 2, 64, opt.buffers))
                return UsageError("--buffers needs a number from 2 to 64, not '" + value + "'");
        } else if (arg == "--gain") {
            if (!ParseDouble(value, 0.0, 100.0, opt.gain))
                return UsageError("--gain needs a number from 0 to 100, not '" + value + "'");
        } else if (arg == "--soundfont") {
            if (value.empty())
                return UsageError("--soundfont needs a file name");
            opt.soundfont = value;
        } else if (arg == "--start") {
            if (!ParseTime(value, opt.start))
                return UsageError("--start needs a time in seconds or m:ss, not '" + value + "'");
            opt.startText = value;
        } else if (arg == "--rate") {
            if (!ParseLong(value, 8000, 192000, opt.rate))
                return UsageError("--rate needs a rate in Hz from 8000 to 192000, not '" + value +
                                  "'");
        }
    }

    if (opt.help || opt.version || opt.listDevices)
        return true;
    if (opt.files.empty())
        return UsageError("no file to play");
    if (!opt.render.empty() && opt.info)
        return UsageError("--render and --info cannot be combined");
    if (!opt.render.empty() && opt.loops < 0)
        return UsageError("--loop -1 never ends, so it cannot be rendered to a file");
    if (!opt.render.empty() && opt.haveDevice)
        return UsageError("--render does not use a device; drop --device");
    if (opt.render.empty() && (opt.floatOut || opt.rate))
        return UsageError(std::string(opt.floatOut ? "--float" : "--rate") +
                          " only applies with --render");
    if (opt.load && opt.order >= 0)
        return UsageError("--order works on streamed modules; drop --load");
    if (opt.load && opt.start >= 0)
        return UsageError("--start works on streamed files; drop --load");
    return true;
}

// ---- Errors --------------------------------------------------------------------------

// What the user can do about each library message met on the way.
const char *HintFor(const std::string &message)
{
    static const struct {
        const char *message;
        const char *hint;
    } hints[] = {
        {"Failed to open file", "check the path and that the file is readable"},
        {"Unsupported type",
         "nuvex-play reads WAV, AIFF, Ogg Vorbis, tracker modules (MOD, S3M, XM, IT...) and "
         "MIDI files (when FluidSynth is installed)"},
        {"No SoundFont available",
         "MIDI needs a SoundFont: give one with --soundfont FILE, or check that the one "
         "named by NUVEX_SOUNDFONT (or FluidSynth's default) is a readable SoundFont"},
        {"Invalid order for stream", "--order applies to tracker modules only"},
        {"Could not reload data", "the module could not be reloaded; is it still readable?"},
        {"Device open failed",
         "no usable output device: choose one with --device NAME (see --list-devices), or "
         "use --render OUT.wav, which needs no sound card"},
        {"Context setup failed", "the device refused a context; try another --device"},
        {"Out of memory", "the sound is too large for the memory available; try streaming "
                          "it (drop --load)"},
        {"Buffer load failed", "OpenAL rejected the decoded data; the file may be damaged"},
        {"Error buffering from stream", "the file holds no sound at all"},
        {"Position past the end", "the sound is shorter than that"},
    };
    for (const auto &row : hints)
        if (message.compare(0, strlen(row.message), row.message) == 0)
            return row.hint;
    return nullptr;
}

// One line: who failed, the library's message, and what to do.
void ReportError(const std::string &subject, const std::string &what)
{
    std::string message = nuvexGetErrorString();
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    const char *hint = HintFor(message);
    fprintf(stderr, "%s: %s: %s (%s)%s%s\n", Prog, subject.c_str(), what.c_str(), message.c_str(),
            hint ? ": " : "", hint ? hint : "");
}

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

// ---- Describing a file -----------------------------------------------------------------

struct SoundInfo {
    std::string container; // "WAV", "AIFF", ...
    std::string encoding;  // "16-bit integer PCM", ...
    int channels = 0;
    int rate = 0;
    uint64_t frames = 0; // 0: unknown
};

uint32_t LE32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t LE16(const unsigned char *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t BE32(const unsigned char *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t BE16(const unsigned char *p) { return uint16_t(p[0] << 8 | p[1]); }

// The stored encoding of a RIFF/WAVE, RF64 or Wave64 format tag.
std::string WavEncoding(unsigned tag, unsigned bits)
{
    switch (tag) {
    case 1:
        return std::to_string(bits) + "-bit integer PCM";
    case 2:
        return "4-bit MS ADPCM";
    case 3:
        return std::to_string(bits) + "-bit float";
    case 6:
        return "8-bit A-law";
    case 7:
        return "8-bit mu-law";
    case 0x11:
        return "4-bit IMA ADPCM";
    case 0x31:
        return "GSM 6.10";
    case 0x55:
        return "MP3";
    default:
        return "";
    }
}

// Names the container and the stored encoding from the first bytes: OpenAL
// only reports what the sound was decoded to.
void NameContainer(const std::string &path, SoundInfo &info)
{
    info.container = "tracker module";
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return;
    unsigned char head[4096];
    size_t got = fread(head, 1, sizeof(head), file);
    fclose(file);
    auto at = [&](size_t pos, const char *tag, size_t n = 4) {
        return got >= pos + n && memcmp(head + pos, tag, n) == 0;
    };
    const bool rf64 = at(0, "RF64"), wave64 = at(0, "riff") && at(24, "wave");
    if (at(0, "MThd") || (at(0, "RIFF") && at(8, "RMID"))) {
        info.container = at(0, "MThd") ? "Standard MIDI File" : "RIFF-MIDI";
        const size_t smf = at(0, "MThd") ? 0 : 20; // a "data" chunk first, as usual
        info.encoding = got > smf + 9 ? "MIDI format " + std::to_string(head[smf + 9]) : "MIDI";
        return;
    }
    if ((at(0, "RIFF") || rf64 || wave64) && (at(8, "WAVE") || wave64)) {
        info.container = rf64 ? "RF64" : wave64 ? "Wave64" : "WAV";
        // Wave64 chunks have 16-byte names, 8-byte sizes and 8-byte alignment.
        const size_t header = wave64 ? 24 : 8;
        for (size_t pos = wave64 ? 40 : 12; pos + header + 16 <= got;) {
            uint64_t length = LE32(head + pos + (wave64 ? 16 : 4));
            if (at(pos, "fmt ")) {
                const unsigned char *fmt = head + pos + header;
                unsigned tag = LE16(fmt), bits = LE16(fmt + 14);
                bool extensible = tag == 0xFFFE && pos + header + 26 <= got;
                info.encoding = WavEncoding(extensible ? LE16(fmt + 24) : tag, bits);
                if (extensible)
                    info.container += " (extensible)";
                break;
            }
            pos += wave64 ? (size_t(length) + 7) / 8 * 8 : header + size_t(length) + (length & 1);
            if (length == 0 && wave64)
                break;
        }
    } else if (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"))) {
        info.container = at(8, "AIFF") ? "AIFF" : "AIFF-C";
        for (size_t pos = 12; pos + 30 <= got; pos += 8 + (BE32(head + pos + 4) + 1) / 2 * 2) {
            if (!at(pos, "COMM"))
                continue;
            // Sample size, then (AIFF-C) the compression type after the rate.
            std::string bits = std::to_string(BE16(head + pos + 14));
            std::string type = at(8, "AIFC") ? std::string(head + pos + 26, head + pos + 30) : "NONE";
            info.encoding = type == "NONE" || type == "sowt" || type == "twos" ? bits + "-bit integer PCM"
                            : type == "fl32" || type == "FL32"                   ? "32-bit float"
                            : type == "fl64" || type == "FL64"                   ? "64-bit float"
                            : type == "ulaw" || type == "ULAW"                   ? "8-bit mu-law"
                            : type == "alaw" || type == "ALAW"                   ? "8-bit A-law"
                                                                                 : type;
            break;
        }
    } else if (at(0, ".snd") && got >= 16) {
        static const char *const encodings[] = {
            "",           "8-bit mu-law", "8-bit integer PCM", "16-bit integer PCM",
            "24-bit integer PCM", "32-bit integer PCM", "32-bit float", "64-bit float"};
        uint32_t code = BE32(head + 12);
        info.container = "Sun AU";
        info.encoding = code < 8 ? encodings[code] : code == 27 ? "8-bit A-law" : "";
    } else if (at(0, "caff") && at(8, "desc") && got >= 52) {
        // The description: rate, format, flags (PCM: bit 0 float; ALAC: 1 to
        // 4 for 16, 20, 24 and 32 bits), ..., bits per channel.
        const std::string bits = std::to_string(BE32(head + 48));
        static const int alacBits[5] = {0, 16, 20, 24, 32};
        info.container = "CAF";
        info.encoding = at(28, "lpcm") ? bits + ((BE32(head + 32) & 1) ? "-bit float" : "-bit integer PCM")
                        : at(28, "alac") ? std::to_string(alacBits[BE32(head + 32) % 5]) + "-bit ALAC"
                        : at(28, "ulaw") ? "8-bit mu-law"
                        : at(28, "alaw") ? "8-bit A-law"
                                         : std::string(head + 28, head + 32);
    } else if (at(0, "fLaC") && got >= 22) {
        info.container = "FLAC";
        info.encoding = std::to_string(((head[20] & 1) << 4 | head[21] >> 4) + 1) + "-bit FLAC";
    } else if (at(0, "OggS") && got > 27 && at(27 + size_t(head[26]), "OpusHead", 8)) {
        info.container = "Ogg Opus";
        info.encoding = "Opus";
    } else if (at(0, "OggS")) {
        info.container = "Ogg Vorbis";
    } else if (at(0, "ID3", 3) || (got >= 2 && head[0] == 0xFF && (head[1] & 0xE6) == 0xE2)) {
        info.container = "MP3";
        info.encoding = "MPEG Layer III";
    }
}

uint64_t FramesOfBuffer(ALuint buffer)
{
    ALint size = 0, bits = 0, channels = 0;
    alGetBufferi(buffer, AL_SIZE, &size);
    alGetBufferi(buffer, AL_BITS, &bits);
    alGetBufferi(buffer, AL_CHANNELS, &channels);
    if (bits <= 0 || channels <= 0)
        return 0;
    return uint64_t(size) * 8 / uint64_t(bits) / uint64_t(channels);
}

// Decodes the rest of a stream one chunk at a time to count its frames: the
// only way to learn the length of a sound whose header does not tell it.
bool CountRemainingFrames(nuvexStream *stream, ALuint buffer, uint64_t &frames)
{
    for (;;) {
        ALsizei filled = nuvexBufferDataFromStream(stream, 1, &buffer);
        if (filled < 0)
            return false;
        if (filled == 0)
            return true;
        frames += FramesOfBuffer(buffer);
    }
}

// Opens the file as a stream on the current context and reads its format.
bool Probe(const std::string &path, const Options &opt, SoundInfo &info)
{
    NameContainer(path, info);
    ALuint buffer = 0;
    // Sounds whose header tells no length are measured by decoding them; the
    // last chunk of a module is padded with silence, so 10 ms chunks keep
    // the measure within 10 ms of the song's end.
    ALboolean wasMicro = nuvexStreamSizeIsMicroSec(AL_TRUE);
    nuvexStream *stream = nuvexCreateStreamFromFile(path.c_str(), 10000, 1, &buffer);
    nuvexStreamSizeIsMicroSec(wasMicro);
    if (!stream) {
        ReportError(path, "cannot be played");
        return false;
    }
    bool ok = true;
    ALint bits = 0, channels = 0, rate = 0;
    alGetBufferi(buffer, AL_BITS, &bits);
    alGetBufferi(buffer, AL_CHANNELS, &channels);
    alGetBufferi(buffer, AL_FREQUENCY, &rate);
    info.channels = channels;
    info.rate = rate;
    const std::string decoded = bits == 32   ? "32-bit float"
                                : bits == 64 ? "64-bit float"
                                             : std::to_string(bits) + "-bit integer PCM";
    if (info.encoding.empty())
        info.encoding = info.container == "Ogg Vorbis" || info.container == "tracker module"
                            ? "decoded to " + decoded
                            : decoded;
    else if (info.encoding != decoded)
        info.encoding += ", decoded to " + decoded;
    if (opt.order >= 0) {
        if (!nuvexSetStreamOrder(stream, ALuint(opt.order))) {
            ReportError(path, "cannot start at order " + std::to_string(opt.order));
            ok = false;
        } else {
            // Counted from the order on: that is what will be played.
            ok = CountRemainingFrames(stream, buffer, info.frames);
        }
    } else {
        nuvexUInt64 length = nuvexGetStreamLength(stream);
        if (length != ~nuvexUInt64(0) && length > 0) {
            info.frames = length;
        } else {
            info.frames = FramesOfBuffer(buffer);
            ok = CountRemainingFrames(stream, buffer, info.frames);
        }
        if (!ok)
            ReportError(path, "cannot be decoded");
    }
    nuvexDestroyStream(stream, 1, &buffer);
    if (ok && (channels <= 0 || rate <= 0)) {
        fprintf(stderr, "%s: %s: OpenAL reports no channels or rate for it\n", Prog,
                path.c_str());
        ok = false;
    }
    return ok;
}

std::string Clock(double seconds)
{
    if (seconds < 0)
        return "?:??";
    long tenths = long(seconds * 10.0 + 0.5);
    char text[32];
    snprintf(text, sizeof(text), "%ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

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

// ---- Playing one file ---------------------------------------------------------------------

void OnEndOfPlay(void *userdata, ALuint)
{
    static_cast<std::atomic<bool> *>(userdata)->store(true);
}

// Progress: one line rewritten in place on a terminal, plain lines elsewhere.
class Progress {
public:
    Progress(const Options &opt, const std::string &name, const SoundInfo &info)
        : opt_(opt), name_(name), info_(info), tty_(isatty(STDOUT_FILENO) != 0)
    {
        total_ = info.frames && info.rate ? double(info.frames) / info.rate : -1.0;
    }

    void Start(const char *verb)
    {
        if (opt_.quiet)
            return;
        if (!tty_) {
            printf("%s %s (%s, %d ch, %d Hz%s)\n", verb, name_.c_str(), Clock(total_).c_str(),
                   info_.channels, info_.rate, LoopText().c_str());
            fflush(stdout);
        }
    }

    // `heard`: the position the stream reports, when it is one (a pass that
    // starts again shows as a step back); else it follows from `elapsed`.
    void Show(double elapsed, double heard = -1.0)
    {
        if (opt_.quiet || !tty_)
            return;
        if (heard >= 0 && heard < lastHeard_ && (opt_.loops < 0 || pass_ <= opt_.loops))
            pass_++;
        lastHeard_ = heard;
        int loop = heard >= 0 ? pass_ : 1;
        double position = heard >= 0 ? heard : elapsed;
        if (heard < 0 && total_ > 0) {
            loop = int(elapsed / total_) + 1;
            if (opt_.loops >= 0 && loop > opt_.loops + 1)
                loop = int(opt_.loops) + 1;
            position = elapsed - (loop - 1) * total_;
            if (position > total_)
                position = total_;
        }
        std::string loopText;
        if (opt_.loops < 0)
            loopText = "  loop " + std::to_string(loop) + "/endless";
        else if (opt_.loops > 0)
            loopText = "  loop " + std::to_string(loop) + "/" + std::to_string(opt_.loops + 1);
        printf("\r%s  %s / %s%s\033[K", name_.c_str(), Clock(position).c_str(),
               Clock(total_).c_str(), loopText.c_str());
        fflush(stdout);
        shown_ = true;
    }

    void Finish()
    {
        if (shown_) {
            printf("\n");
            fflush(stdout);
        }
    }

private:
    std::string LoopText() const
    {
        if (opt_.loops < 0)
            return ", looped endlessly";
        if (opt_.loops > 0)
            return ", " + std::to_string(opt_.loops + 1) + " plays";
        return "";
    }

    const Options &opt_;
    std::string name_;
    SoundInfo info_;
    bool tty_;
    double total_;
    bool shown_ = false;
    int pass_ = 1;
    double lastHeard_ = 0.0;
};

// One sound on one source, whole or streamed; its destructor releases it all.
class Player {
public:
    explicit Player(const Options &opt) : opt_(opt) {}
    ~Player() { Release(); }

    bool Start(const std::string &path)
    {
        ended_ = false;
        alGenSources(1, &source_);
        if (alGetError() != AL_NO_ERROR) {
            source_ = 0;
            fprintf(stderr, "%s: %s: OpenAL could not create a source\n", Prog, path.c_str());
            return false;
        }
        alSourcef(source_, AL_MAX_GAIN, opt_.gain > 1.0 ? ALfloat(opt_.gain) : 1.0f);
        alSourcef(source_, AL_GAIN, ALfloat(opt_.gain));
        // Channels go straight to the matching speakers, unchanged.
        if (alIsExtensionPresent("AL_SOFT_direct_channels"))
            alSourcei(source_, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        return opt_.load ? StartWhole(path) : StartStream(path);
    }

    bool Ended() const { return ended_; }

    // Seconds into the sound that the listener hears now; -1 for a whole
    // buffer, whose plays the elapsed time tells apart.
    double Heard() const
    {
        const ALsizei rate = stream_ ? nuvexGetStreamFrequency(stream_) : 0;
        return rate > 0 ? double(nuvexGetStreamPosition(stream_)) / rate : -1.0;
    }

    // Queues more plays of a whole buffer as the queued ones are played.
    void TopUp()
    {
        if (!opt_.load || unqueuedPlays_ == 0)
            return;
        ALint processed = 0, queued = 0;
        alGetSourcei(source_, AL_BUFFERS_PROCESSED, &processed);
        std::vector<ALuint> names(size_t(processed) + queueDepth_, buffer_);
        if (processed > 0)
            alSourceUnqueueBuffers(source_, processed, names.data());
        alGetSourcei(source_, AL_BUFFERS_QUEUED, &queued);
        uint64_t room = queueDepth_ > uint64_t(queued) ? queueDepth_ - uint64_t(queued) : 0;
        uint64_t count = room < unqueuedPlays_ ? room : unqueuedPlays_;
        if (count == 0)
            return;
        std::fill(names.begin(), names.end(), buffer_);
        alSourceQueueBuffers(source_, ALsizei(count), names.data());
        unqueuedPlays_ -= count;
    }

    // Output frames that can be rendered before the source must be refilled:
    // never past what is queued, so a render never outruns the stream.
    size_t SafeFrames(int outRate, int soundRate) const
    {
        const size_t maxStep = 4096;
        ALint queued = 0, offset = 0, current = 0;
        uint64_t ahead = 0;
        alGetSourcei(source_, AL_BUFFERS_QUEUED, &queued);
        alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
        if (opt_.load) {
            // The queue holds the same buffer once per play.
            ahead = FramesOfBuffer(buffer_) * uint64_t(queued);
        } else {
            // The update step has unqueued what was played, so the offset
            // counts from the start of the buffer playing now.
            alGetSourcei(source_, AL_BUFFER, &current);
            ahead = current ? FramesOfBuffer(ALuint(current)) : 0;
        }
        uint64_t left = ahead > uint64_t(offset) ? ahead - uint64_t(offset) : 0;
        // More plays still to queue: stop one frame short of the queue's end,
        // or the source would stop and the update end the playback early.
        if (opt_.load && unqueuedPlays_ > 0 && left > 0)
            left--;
        uint64_t frames = left * uint64_t(outRate) / uint64_t(soundRate);
        if (frames == 0)
            return 1;
        return frames < maxStep ? size_t(frames) : maxStep;
    }

    void Stop()
    {
        if (source_)
            nuvexStopSource(source_, AL_FALSE);
    }

    void Release()
    {
        if (stream_)
            nuvexDestroyStream(stream_, 0, nullptr);
        stream_ = nullptr;
        if (source_) {
            nuvexStopSource(source_, AL_FALSE);
            alSourcei(source_, AL_BUFFER, 0);
            alDeleteSources(1, &source_);
        }
        source_ = 0;
        if (buffer_)
            alDeleteBuffers(1, &buffer_);
        buffer_ = 0;
        alGetError();
    }

private:
    bool StartWhole(const std::string &path)
    {
        buffer_ = nuvexCreateBufferFromFile(path.c_str());
        if (!buffer_) {
            ReportError(path, "cannot be loaded");
            return false;
        }
        if (opt_.loops < 0) {
            alSourcei(source_, AL_BUFFER, ALint(buffer_));
            alSourcei(source_, AL_LOOPING, AL_TRUE);
        } else {
            // The buffer is queued once per play, so the repeats follow without
            // a gap; a long run of repeats is queued a few seconds at a time.
            unqueuedPlays_ = uint64_t(opt_.loops) + 1;
            uint64_t frames = FramesOfBuffer(buffer_);
            ALint rate = 0;
            alGetBufferi(buffer_, AL_FREQUENCY, &rate);
            uint64_t perTwoSeconds = frames ? uint64_t(rate) * 2 / frames + 1 : 1;
            queueDepth_ = perTwoSeconds < 16 ? 16 : perTwoSeconds > 4096 ? 4096 : perTwoSeconds;
            TopUp();
        }
        if (alGetError() != AL_NO_ERROR) {
            fprintf(stderr, "%s: %s: OpenAL refused to queue the sound\n", Prog, path.c_str());
            return false;
        }
        if (!nuvexPlaySource(source_, OnEndOfPlay, &ended_)) {
            ReportError(path, "cannot be played");
            return false;
        }
        return true;
    }

    bool StartStream(const std::string &path)
    {
        nuvexStreamSizeIsMicroSec(AL_TRUE);
        stream_ = nuvexCreateStreamFromFile(path.c_str(), ALsizei(opt_.chunkMs * 1000), 0, nullptr);
        if (!stream_) {
            ReportError(path, "cannot be streamed");
            return false;
        }
        if (opt_.order >= 0 && !nuvexSetStreamOrder(stream_, ALuint(opt_.order))) {
            ReportError(path, "cannot start at order " + std::to_string(opt_.order));
            return false;
        }
        // Rounded down to a frame of the sound's own rate.
        const double rate = double(nuvexGetStreamFrequency(stream_));
        if (opt_.start >= 0 &&
            !nuvexSetStreamPosition(stream_, nuvexUInt64(std::floor(opt_.start * rate)))) {
            ReportError(path, "cannot start at " + opt_.startText);
            return false;
        }
        if (!nuvexPlaySourceStream(source_, stream_, ALsizei(opt_.buffers), ALsizei(opt_.loops),
                                   OnEndOfPlay, &ended_)) {
            ReportError(path, "cannot be played");
            return false;
        }
        return true;
    }

    const Options &opt_;
    ALuint source_ = 0;
    ALuint buffer_ = 0;
    uint64_t unqueuedPlays_ = 0;
    uint64_t queueDepth_ = 0;
    nuvexStream *stream_ = nullptr;
    std::atomic<bool> ended_{false};
};

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- The three jobs ------------------------------------------------------------------------

int ShowInfo(const Options &opt)
{
    // A loopback device gives the context that stream creation needs, on any
    // machine, sound card or not.
    nvmedia::Loopback loopback;
    if (!OpenLoopback(loopback) || !ConfigureLoopback(loopback, 2, 44100))
        return ExitFailed;
    int status = ExitOk;
    for (const std::string &path : opt.files) {
        SoundInfo info;
        if (!Probe(path, opt, info)) {
            status = ExitFailed;
            continue;
        }
        printf("File:     %s\n", path.c_str());
        printf("Format:   %s, %s\n", info.container.c_str(), info.encoding.c_str());
        printf("Channels: %d\n", info.channels);
        printf("Rate:     %d Hz\n", info.rate);
        printf("Length:   %llu frames, %.3f s\n", (unsigned long long)info.frames,
               double(info.frames) / info.rate);
        if (StopSignal)
            break;
    }
    return StopSignal ? ExitInterrupted : status;
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
            auto now = std::chrono::steady_clock::now();
            if (now - lastShown > std::chrono::milliseconds(200)) {
                progress.Show(double(rendered) / loopback.rate, player.Heard());
                lastShown = now;
            }
        }
        progress.Show(double(rendered) / loopback.rate, player.Heard());
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

int Play(const Options &opt)
{
    if (!nuvexInitDevice(opt.haveDevice ? opt.device.c_str() : nullptr, nullptr)) {
        ReportError(opt.haveDevice ? "device '" + opt.device + "'" : std::string("default device"),
                    "cannot be opened");
        return ExitFailed;
    }
    // Refill well within one chunk, however short the chunks are.
    double interval = double(opt.chunkMs) / 4000.0;
    interval = interval < 0.005 ? 0.005 : interval > 0.05 ? 0.05 : interval;
    int status = ExitOk;
    if (!nuvexUpdateInterval(ALfloat(interval))) {
        ReportError("update thread", "cannot be started");
        status = ExitFailed;
        interval = 0.0;
    }
    for (const std::string &path : opt.files) {
        if (StopSignal || !interval)
            break;
        SoundInfo info;
        if (!Probe(path, opt, info)) {
            status = ExitFailed;
            continue;
        }
        Player player(opt);
        if (!player.Start(path)) {
            status = ExitFailed;
            continue;
        }
        Progress progress(opt, BaseName(path), info);
        progress.Start("Playing");
        auto start = std::chrono::steady_clock::now();
        while (!player.Ended() && !StopSignal) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            progress.Show(elapsed.count(), player.Heard());
            player.TopUp();
            nuvexSleep(0.1f);
        }
        player.Stop();
        if (!StopSignal) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            progress.Show(info.frames && info.rate && opt.loops >= 0
                              ? double(info.frames) / info.rate * double(opt.loops + 1)
                              : elapsed.count());
        }
        progress.Finish();
    }
    // Sources are stopped and streams destroyed by now; the thread and the
    // device go last.
    nuvexUpdateInterval(0.0f);
    nuvexShutdownDevice();
    return StopSignal ? ExitInterrupted : status;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!ParseOptions(argc, argv, opt))
        return ExitUsage;
    if (opt.help) {
        PrintUsage(stdout);
        return ExitOk;
    }
    if (opt.version) {
        ALuint major = 0, minor = 0;
        nuvexGetVersion(&major, &minor);
        printf("nuvex-play %s (nuvex library %u.%u)\n", NUVEX_PLAY_VERSION, major, minor);
        return ExitOk;
    }
    if (opt.listDevices)
        return ListDevices();
    // The library's default SoundFont, so that whole loads, probes and
    // streams of MIDI files all use it.
    if (!opt.soundfont.empty())
        setenv("NUVEX_SOUNDFONT", opt.soundfont.c_str(), 1);
    InstallSignalHandlers();
    int status;
    try {
        if (opt.info)
            status = ShowInfo(opt);
        else if (!opt.render.empty())
            status = Render(opt);
        else
            status = Play(opt);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "%s: out of memory\n", Prog);
        return ExitFailed;
    }
    if (StopSignal == SIGTERM)
        return 128 + SIGTERM;
    return status;
}
