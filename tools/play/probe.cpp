// Describing a file: what it holds, for --info and before playing it, and
// the library's messages turned into hints.
#include "play.h"

#include <cstring>

namespace nvplay {

// ---- Errors --------------------------------------------------------------------------

// What the user can do about each library message met on the way.
const char *HintFor(const std::string &message)
{
    static const struct {
        const char *message;
        const char *hint;
    } hints[] = {
        {"Failed to open file", "check the path and that the file is readable"},
        // The formats are listed once, by --help.
        {"Unsupported type", "not a format or a variant that nuvex-play reads (see its --help; "
                             "MIDI needs FluidSynth installed)"},
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

// A tag as it may be printed: the library hands over valid UTF-8, but a
// file can still hold control characters, and an escape sequence in a title
// would drive the terminal. Each becomes U+FFFD, as invalid bytes do.
std::string Printable(const char *text)
{
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        const bool c1 = p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F;
        if (*p < 0x20 || *p == 0x7F || c1) {
            out += "\xEF\xBF\xBD";
            p += c1;
        } else {
            out += char(*p);
        }
    }
    return out;
}

// What the file names beside its sound: title, artist and loop points.
void ReadNames(nuvexStream *stream, const Options &opt, SoundInfo &info)
{
    for (auto tag : {std::make_pair("TITLE", &info.title), std::make_pair("ARTIST", &info.artist)})
        if (const ALchar *value = nuvexGetStreamTag(stream, tag.first))
            *tag.second = Printable(value);
    nuvexUInt64 start = 0, end = 0;
    if (!opt.noLoopPoints && nuvexGetStreamLoopPoints(stream, &start, &end)) {
        info.loopStart = start;
        info.loopEnd = end;
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
    ReadNames(stream, opt, info);
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

std::string LoopRange(const SoundInfo &info)
{
    char text[160];
    const double rate = info.rate > 0 ? double(info.rate) : 1.0;
    if (info.loopEnd)
        snprintf(text, sizeof text, "frames %llu to %llu, %.3f s to %.3f s",
                 (unsigned long long)info.loopStart, (unsigned long long)info.loopEnd,
                 double(info.loopStart) / rate, double(info.loopEnd) / rate);
    else
        snprintf(text, sizeof text, "frames %llu to the end, %.3f s to the end",
                 (unsigned long long)info.loopStart, double(info.loopStart) / rate);
    return text;
}

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
        if (!info.title.empty())
            printf("Title:    %s\n", info.title.c_str());
        if (!info.artist.empty())
            printf("Artist:   %s\n", info.artist.c_str());
        printf("Format:   %s, %s\n", info.container.c_str(), info.encoding.c_str());
        printf("Channels: %d\n", info.channels);
        printf("Rate:     %d Hz\n", info.rate);
        printf("Length:   %llu frames, %.3f s\n", (unsigned long long)info.frames,
               double(info.frames) / info.rate);
        if (info.HasLoopPoints())
            printf("Loop:     %s\n", LoopRange(info).c_str());
        if (StopSignal)
            break;
    }
    return StopSignal ? ExitInterrupted : status;
}

} // namespace nvplay
