// The formats that editors and encoders write today, through libsndfile:
// FLAC, Ogg Opus, RIFF/WAVE of the encodings the WAV decoder leaves
// (extensible, 24/32-bit, A-law, MS ADPCM, GSM 6.10, ...), RF64, Wave64,
// AIFF and AIFF-C, Sun AU and CAF.
//
// libsndfile guesses: handed junk it scans for MPEG frames (printing to
// stderr on the way) and handed MPEG it stops at its own length estimate.
// So only the families above, told apart by their first bytes, ever reach
// it; MPEG audio has its own decoder. Integer sources of 16 bits or fewer
// and the companded and ADPCM codecs come out as 16-bit; wider and float
// sources as 32-bit float where OpenAL has it; Opus is read as float and
// clipped here, because libsndfile's 16-bit Opus path wraps around.
#include "../decoders.h"
#include "../decoderutil.h"
#include "../filecomments.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {
struct SndfileCloser {
    void operator()(SNDFILE *file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

enum class Family { Other, Wave, Wave64, Aiff, Au, Caf, Flac, OggOpus };

bool TagAt(const ALubyte *head, size_t size, size_t at, const char *tag, size_t length = 4)
{
    return size >= at + length && memcmp(head + at, tag, length) == 0;
}

// Tells the families handed to libsndfile apart by their first bytes. Ogg
// Vorbis stays with its own decoder, and Ogg FLAC is left out: libsndfile
// 1.2.0 fails on every Ogg FLAC file libFLAC writes. An ID3v2 tag is skipped
// only before FLAC, the one family here that taggers prefix with one.
Family Identify(std::istream &in)
{
    ALubyte head[64] = {};
    size_t got = ReadBytes(in, head, sizeof(head));
    auto at = [&](size_t pos, const char *tag, size_t length = 4) {
        return TagAt(head, got, pos, tag, length);
    };
    if ((at(0, "RIFF") || at(0, "RIFX") || at(0, "RF64")) && at(8, "WAVE"))
        return Family::Wave;
    if (at(0, "riff\x2E\x91\xCF\x11", 8) && at(24, "wave\xF3\xAC\xD3\x11", 8))
        return Family::Wave64;
    if (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC")))
        return Family::Aiff;
    if (at(0, ".snd") || at(0, "dns."))
        return Family::Au;
    if (at(0, "caff"))
        return Family::Caf;
    if (at(0, "fLaC"))
        return Family::Flac;
    if (at(0, "OggS") && got > 27 && at(27 + size_t(head[26]), "OpusHead", 8))
        return Family::OggOpus;
    if (at(0, "ID3", 3) && got >= 10) {
        char magic[4];
        in.clear();
        in.seekg(std::streamoff(Id3v2Length(head)));
        if (in.read(magic, 4) && memcmp(magic, "fLaC", 4) == 0)
            return Family::Flac;
    }
    return Family::Other;
}

// libsndfile walks the sub-chunks of a list chunk by their sizes; sizes
// that run past the list's end have kept its open busy for minutes (found by
// fuzzing). Well-formed lists (a list type, then sub-chunks that fit, the
// last one's pad byte perhaps missing) are all that writers make.
bool SubchunksFit(std::istream &in, uint32_t length, bool bigEndian)
{
    in.seekg(4, std::ios_base::cur); // the list type
    for (uint64_t at = 4; at + 8 <= length;) {
        in.seekg(4, std::ios_base::cur);
        const uint32_t size = bigEndian ? read_be32(in) : read_le32(in);
        at += 8 + uint64_t(size) + (size & 1);
        if (!in || at > uint64_t(length) + 1)
            return false;
        in.seekg(std::streamoff(size + (size & 1)), std::ios_base::cur);
    }
    return true;
}

// libsndfile reads MPEG audio inside RIFF/WAVE through its own mpg123 reader,
// which scans junk for frames aloud and stops at a length estimate that
// depends on the read size. Such files are declined before libsndfile opens
// them; so are files without a format chunk, which it cannot decode anyway,
// and files of more channels than OpenAL has layouts for. Shapes found by
// fuzzing that keep libsndfile's open busy for minutes are declined too:
// thousands of channels, and a list chunk that claims to run past the end
// of the input or whose sub-chunks run past its own.
bool WaveHoldsPlainAudio(std::istream &in)
{
    in.clear();
    in.seekg(0, std::ios_base::end);
    const std::streamoff end = in.tellg();
    in.seekg(0);
    char riff[4];
    if (!in.read(riff, 4))
        return false;
    const bool bigEndian = memcmp(riff, "RIFX", 4) == 0;
    auto read16 = [&] { return bigEndian ? read_be16(in) : read_le16(in); };
    in.seekg(12);
    bool plainAudio = false;
    for (int chunk = 0; chunk < 4096; chunk++) {
        char tag[4];
        if (!in.read(tag, 4))
            return plainAudio;
        const uint32_t length = bigEndian ? read_be32(in) : read_le32(in);
        if (!in)
            return plainAudio;
        const std::streamoff body = in.tellg();
        const bool list = memcmp(tag, "LIST", 4) == 0 || memcmp(tag, "INFO", 4) == 0;
        // Anything but a list running off the end (a cut-off recording, a
        // tag some tools append) ends the walk.
        if (std::streamoff(length) > end - body)
            return plainAudio && !list;
        if (list && !SubchunksFit(in, length, bigEndian))
            return false;
        in.seekg(body);
        if (memcmp(tag, "fmt ", 4) == 0) {
            uint16_t formatTag = read16(), channels = read16();
            if (formatTag == 0xFFFE && length >= 26) {
                in.seekg(20, std::ios_base::cur); // to the sub-format's tag
                formatTag = read16();
            }
            if (!in || channels < 1 || channels > 8 || formatTag == 0x50 || formatTag == 0x55)
                return false;
            plainAudio = true;
            in.seekg(body);
        }
        SkipChunkBody(in, length);
    }
    return false;
}

// libsndfile 1.2.0 sizes the channel map it keeps for an AIFF or CAF file
// by the layout chunk (and the channel count known when it reads it), yet
// hands out as many entries as the file has channels: a layout of fewer
// channels than the file, or one read before the channel count, makes it
// read past its own memory (found by fuzzing). Its map is asked for only
// when a walk over the chunks, following their sizes as it does, finds one
// channel count and then layouts of exactly that many channels. A chunk the
// walk cannot follow (an unprintable tag, a size past the end) may hide a
// layout libsndfile found by searching on, so the map is not asked for then.
bool LayoutsMatchChannels(std::istream &in, Family family, int channels)
{
    const bool caf = family == Family::Caf;
    in.clear();
    const std::streampos resume = in.tellg();
    in.seekg(0, std::ios_base::end);
    const std::streamoff end = in.tellg();
    std::streamoff at = caf ? 8 : 12;
    bool countSeen = false, matches = true;
    auto printable = [](const char *tag) {
        return std::all_of(tag, tag + 4, [](char c) { return c >= 0x20 && c <= 0x7E; });
    };
    // Fewer bytes than a chunk header at the end hold nothing to find.
    for (int chunk = 0; matches && end - at >= (caf ? 12 : 8); chunk++) {
        char tag[4];
        in.seekg(at);
        if (chunk == 1024 || !in.read(tag, 4) || !printable(tag)) {
            matches = false;
            break;
        }
        uint64_t length = caf ? uint64_t(read_be32(in)) << 32 : 0;
        length |= read_be32(in);
        const std::streamoff body = in.tellg();
        // Sound data may run to the end (a CAF of unknown length, a
        // truncated recording): nothing can follow it then.
        const bool pastTheEnd = length > uint64_t(end - body);
        if (pastTheEnd && memcmp(tag, caf ? "data" : "SSND", 4) == 0)
            break;
        if (pastTheEnd) {
            matches = false;
            break;
        }
        if (memcmp(tag, caf ? "desc" : "COMM", 4) == 0) {
            if (caf)
                in.seekg(24, std::ios_base::cur); // to the channels per frame
            const uint32_t count = caf ? read_be32(in) : read_be16(in);
            matches = !countSeen && count == uint32_t(channels);
            countSeen = true;
        } else if (memcmp(tag, caf ? "chan" : "CHAN", 4) == 0) {
            const uint32_t layout = read_be32(in);
            const bool counted = layout != 0 && layout != 0x10000; // not by description or bitmap
            matches = countSeen && (!counted || (layout & 0xFFFF) == uint32_t(channels));
        }
        at = body + std::streamoff(length) + (!caf && (length & 1) ? 1 : 0);
    }
    in.clear();
    in.seekg(resume);
    return matches;
}

// Sources whose samples carry more than 16 bits.
bool IsWide(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
    case SF_FORMAT_ALAC_32:
        return true;
    default:
        return false;
    }
}

// ---- Channel placement ----

int Normalised(int position)
{
    switch (position) {
    case SF_CHANNEL_MAP_LEFT:
        return SF_CHANNEL_MAP_FRONT_LEFT;
    case SF_CHANNEL_MAP_RIGHT:
        return SF_CHANNEL_MAP_FRONT_RIGHT;
    case SF_CHANNEL_MAP_CENTER:
        return SF_CHANNEL_MAP_FRONT_CENTER;
    default:
        return position;
    }
}

// OpenAL's slots for each channel count it has formats for, each with the
// positions it takes: surrounds of quad, 5.1 and 6.1 play from side or rear.
struct Slot {
    int position, alternative;
};
constexpr Slot FL{SF_CHANNEL_MAP_FRONT_LEFT, -1}, FR{SF_CHANNEL_MAP_FRONT_RIGHT, -1},
    FC{SF_CHANNEL_MAP_FRONT_CENTER, -1}, LFE{SF_CHANNEL_MAP_LFE, -1},
    RC{SF_CHANNEL_MAP_REAR_CENTER, -1}, RL{SF_CHANNEL_MAP_REAR_LEFT, -1},
    RR{SF_CHANNEL_MAP_REAR_RIGHT, -1}, SL{SF_CHANNEL_MAP_SIDE_LEFT, -1},
    SR{SF_CHANNEL_MAP_SIDE_RIGHT, -1},
    SurroundL{SF_CHANNEL_MAP_SIDE_LEFT, SF_CHANNEL_MAP_REAR_LEFT},
    SurroundR{SF_CHANNEL_MAP_SIDE_RIGHT, SF_CHANNEL_MAP_REAR_RIGHT};

std::vector<Slot> SlotsFor(int channels)
{
    switch (channels) {
    case 2:
        return {FL, FR};
    case 4:
        return {FL, FR, SurroundL, SurroundR};
    case 6:
        return {FL, FR, FC, LFE, SurroundL, SurroundR};
    case 7:
        return {FL, FR, FC, LFE, RC, SurroundL, SurroundR};
    case 8:
        return {FL, FR, FC, LFE, RL, RR, SL, SR};
    default:
        return {};
    }
}

// For each OpenAL slot, the file channel that goes there; empty when some
// slot finds no channel (a layout OpenAL cannot play as such).
std::vector<int> PlaceByMap(const std::vector<int> &map)
{
    std::vector<Slot> slots = SlotsFor(int(map.size()));
    std::vector<int> order;
    std::vector<bool> used(map.size(), false);
    for (const Slot &slot : slots) {
        size_t c = 0;
        while (c < map.size() && (used[c] || (Normalised(map[c]) != slot.position &&
                                              Normalised(map[c]) != slot.alternative)))
            c++;
        if (c == map.size())
            return {};
        used[c] = true;
        order.push_back(int(c));
    }
    return order;
}

// The order a format defines when the file names no positions: Opus keeps
// the Vorbis order (front left, center, front right, surrounds, LFE last);
// FLAC and the others the WAV order, which is OpenAL's.
std::vector<int> DefaultOrder(Family family, int channels)
{
    std::vector<int> order;
    for (int c = 0; c < channels; c++)
        order.push_back(c);
    if (family == Family::OggOpus) {
        if (channels == 6)
            order = {0, 2, 1, 5, 3, 4};
        else if (channels == 7)
            order = {0, 2, 1, 6, 5, 3, 4};
        else if (channels == 8)
            order = {0, 2, 1, 7, 5, 6, 3, 4};
    }
    return order;
}

// ---- libsndfile's view of the input stream ----

std::istream &InputOf(void *user) { return *static_cast<std::istream *>(user); }

sf_count_t VirtualLength(void *user)
{
    std::istream &in = InputOf(user);
    in.clear();
    std::streampos here = in.tellg();
    in.seekg(0, std::ios_base::end);
    std::streamoff end = in.tellg();
    in.clear();
    in.seekg(here);
    return sf_count_t(end);
}

sf_count_t VirtualSeek(sf_count_t offset, int whence, void *user)
{
    return SeekInput(InputOf(user), offset, whence);
}

sf_count_t VirtualRead(void *ptr, sf_count_t count, void *user)
{
    std::istream &in = InputOf(user);
    in.clear();
    return count <= 0 ? 0 : sf_count_t(ReadBytes(in, static_cast<ALubyte *>(ptr), size_t(count)));
}

sf_count_t VirtualWrite(const void *, sf_count_t, void *) { return 0; }

sf_count_t VirtualTell(void *user)
{
    std::istream &in = InputOf(user);
    in.clear();
    return sf_count_t(std::streamoff(in.tellg()));
}

SF_VIRTUAL_IO VirtualIO = {VirtualLength, VirtualSeek, VirtualRead, VirtualWrite, VirtualTell};

// Whether the input can be repositioned: libsndfile seeks in every format.
bool CanSeek(std::istream &in)
{
    in.clear();
    in.seekg(0, std::ios_base::end);
    bool ok = in && std::streamoff(in.tellg()) >= 0;
    in.clear();
    in.seekg(0);
    return ok && in;
}

// The first forward loop of the instrument libsndfile read from a WAV
// "smpl" chunk (or its like in other containers), whose end it already
// gives as the first frame after the loop. An end of 0 is a stored end of
// 2^32-1 wrapped around, not "the end of the sound".
LoopPoints InstrumentLoop(SNDFILE *file)
{
    SF_INSTRUMENT instrument{};
    if (sf_command(file, SFC_GET_INSTRUMENT, &instrument, sizeof(instrument)) != SF_TRUE)
        return {};
    const int kept = int(sizeof(instrument.loops) / sizeof(instrument.loops[0]));
    for (int i = 0; i < std::min(instrument.loop_count, kept); i++) {
        const auto &candidate = instrument.loops[i];
        if (candidate.mode == SF_LOOP_FORWARD)
            return candidate.start < candidate.end ? LoopPoints{candidate.start, candidate.end}
                                                   : LoopPoints{};
    }
    return {};
}

// Float samples to 16 bits, clipped (never wrapped) at full scale.
int16_t ClipTo16(float x)
{
    if (!(x > -1.0f)) // also NaN
        return -32768;
    if (!(x < 32767.0f / 32768.0f))
        return 32767;
    return int16_t(lrintf(x * 32768.0f));
}
} // namespace

class sndfileStream final : public nuvexStream {
public:
    explicit sndfileStream(std::istream *input);

    bool IsValid() override { return file != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    nuvexUInt64 GetLength() override;
    bool Seek(nuvexUInt64 to, nuvexUInt64 &at) override;
    bool SeeksDirectly() override { return seeksDirectly; }
    // FLAC turns silence into a few bytes per block; this only bounds a
    // pre-reservation, the load grows beyond it when it must.
    nuvexUInt64 MaxExpansion() override { return 256; }

    static void Init() {}
    static void Deinit() {}

private:
    enum class Output { Int16, Float32, ClippedInt16 };

    bool Open(Family family);
    void ReadLoopAndTags(Family family);
    bool Reopen();
    void ChooseOutput();
    sf_count_t ReadFrames(ALubyte *data, sf_count_t frames);
    template <typename T>
    void Reorder(ALubyte *data, sf_count_t frames) const;

    SndfilePtr file;
    SF_INFO info{};
    std::vector<int> order; // OpenAL slot -> file channel; empty when as stored
    sf_count_t framesRead = 0; // since the start or the last rewind
    // libsndfile cannot move within GSM 6.10, G.72x or NMS ADPCM data at
    // all, nor within DWVW data but to its start (though it calls DWVW
    // seekable): such streams rewind by reopening and seek by decoding.
    bool seeksDirectly = true;
    Output output = Output::Int16;
    bool outputChosen = false;
    ALenum format = 0;
    std::vector<float> scratch;
};

sndfileStream::sndfileStream(std::istream *input) : nuvexStream(input)
{
    Family family = Identify(*input);
    if (family == Family::Other || !CanSeek(*input))
        return;
    if (family == Family::Wave && !WaveHoldsPlainAudio(*input))
        return;
    input->clear();
    input->seekg(0);
    if (!Open(family)) {
        file.reset();
    } else if (family == Family::Flac || family == Family::OggOpus) {
        // libsndfile hands out a few of the comments, never the loop's.
        (family == Family::Flac ? ReadFlacComments : ReadOpusComments)(*input, tags);
        loop = LoopFromTags(tags, ALuint(info.samplerate));
    } else {
        ReadLoopAndTags(family);
    }
}

// The loop and the tags, read when the stream is made. libsndfile 1.2.0
// resolves an AIFF sustain loop through markers it may not have (with the
// MARK chunk missing or unreadable it gives the markers' ids as their
// positions), calls a forward-backward loop forward, and keeps the last of
// repeated text chunks: AIFF and AIFF-C files are read as the AIFF decoder
// reads them, and libsndfile's strings only add what that finds nothing for.
void sndfileStream::ReadLoopAndTags(Family family)
{
    if (family == Family::Aiff) {
        std::istream &in = *inputStream;
        in.clear();
        const std::streampos resume = in.tellg();
        loop = ReadAiffExtras(in, tags);
        in.clear();
        in.seekg(resume);
    } else {
        loop = InstrumentLoop(file.get());
    }
    static const struct {
        int id;
        const char *name;
    } strings[] = {{SF_STR_TITLE, tagname::Title},     {SF_STR_ARTIST, tagname::Artist},
                   {SF_STR_ALBUM, tagname::Album},     {SF_STR_DATE, tagname::Date},
                   {SF_STR_TRACKNUMBER, tagname::TrackNumber}, {SF_STR_GENRE, tagname::Genre},
                   {SF_STR_COMMENT, tagname::Comment}, {SF_STR_COPYRIGHT, tagname::Copyright}};
    for (const auto &string : strings)
        if (const char *text = sf_get_string(file.get(), string.id))
            tags.Add(string.name, LegacyTextToUtf8(text, strlen(text)));
}

bool sndfileStream::Open(Family family)
{
    file.reset(sf_open_virtual(&VirtualIO, SFM_READ, &info, inputStream));
    if (!file)
        return false;
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    if (major == SF_FORMAT_RAW || major == SF_FORMAT_MPEG || subtype == SF_FORMAT_VORBIS ||
        subtype == SF_FORMAT_MPEG_LAYER_I || subtype == SF_FORMAT_MPEG_LAYER_II ||
        subtype == SF_FORMAT_MPEG_LAYER_III || info.samplerate <= 0)
        return false;
    seeksDirectly = info.seekable && subtype != SF_FORMAT_DWVW_12 && subtype != SF_FORMAT_DWVW_16 &&
                    subtype != SF_FORMAT_DWVW_24 && subtype != SF_FORMAT_DWVW_N;
    if (subtype == SF_FORMAT_OPUS) {
        // Left alone, libsndfile decodes at the rate the encoder was fed,
        // rounded up to an Opus rate (11,025 Hz comes out at 12,000 Hz).
        int rate = 48000;
        if (!sf_command(file.get(), SFC_SET_ORIGINAL_SAMPLERATE, &rate, sizeof(rate)) ||
            sf_command(file.get(), SFC_GET_CURRENT_SF_INFO, &info, sizeof(info)) != 0 ||
            info.samplerate != 48000)
            return false;
    }
    if (info.channels == 1)
        return true;
    if (SlotsFor(info.channels).empty()) // 3, 5 or more than 8 channels
        return false;
    std::vector<int> map(size_t(info.channels));
    const bool mapReadable = (family != Family::Aiff && family != Family::Caf) ||
                             LayoutsMatchChannels(*inputStream, family, info.channels);
    bool mapped = mapReadable &&
                  sf_command(file.get(), SFC_GET_CHANNEL_MAP_INFO, map.data(),
                             int(map.size() * sizeof(int))) == SF_TRUE &&
                  std::any_of(map.begin(), map.end(),
                              [](int p) { return p != SF_CHANNEL_MAP_INVALID; });
    order = mapped ? PlaceByMap(map) : DefaultOrder(family, info.channels);
    if (order.empty())
        return false;
    bool asStored = true;
    for (size_t k = 0; k < order.size(); k++)
        asStored = asStored && order[k] == int(k);
    if (asStored)
        order.clear();
    return true;
}

void sndfileStream::ChooseOutput()
{
    if (outputChosen)
        return;
    outputChosen = true;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    const bool floatCoded =
        subtype == SF_FORMAT_OPUS || subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
    // Asked directly: a failed nuvexGetSampleFormat would leave a message
    // behind on a load that then succeeds in 16 bits.
    if (IsWide(subtype) && alIsExtensionPresent("AL_EXT_FLOAT32"))
        output = Output::Float32;
    else
        output = floatCoded ? Output::ClippedInt16 : Output::Int16;
    format = GetSampleFormat(ALuint(info.channels), output == Output::Float32 ? 32 : 16,
                             output == Output::Float32);
}

bool sndfileStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    ChooseOutput();
    *fmt = format;
    *freq = ALuint(info.samplerate);
    *align = ALuint(info.channels) * (output == Output::Float32 ? 4 : 2);
    return true;
}

sf_count_t sndfileStream::ReadFrames(ALubyte *data, sf_count_t frames)
{
    SNDFILE *sf = file.get();
    if (output == Output::Int16)
        return sf_readf_short(sf, reinterpret_cast<short *>(data), frames);
    if (output == Output::Float32)
        return sf_readf_float(sf, reinterpret_cast<float *>(data), frames);
    const sf_count_t step = std::min<sf_count_t>(frames, 4096);
    scratch.resize(size_t(step * info.channels));
    sf_count_t got = sf_readf_float(sf, scratch.data(), step);
    int16_t *out = reinterpret_cast<int16_t *>(data);
    for (size_t i = 0; i < size_t(std::max<sf_count_t>(got, 0) * info.channels); i++)
        out[i] = ClipTo16(scratch[i]);
    return got;
}

template <typename T>
void sndfileStream::Reorder(ALubyte *data, sf_count_t frames) const
{
    T frame[8];
    T *samples = reinterpret_cast<T *>(data);
    const size_t channels = order.size();
    for (sf_count_t f = 0; f < frames; f++, samples += channels) {
        std::copy(samples, samples + channels, frame);
        for (size_t k = 0; k < channels; k++)
            samples[k] = frame[order[k]];
    }
}

ALuint sndfileStream::GetData(ALubyte *data, ALuint bytes)
{
    ChooseOutput();
    const size_t frameBytes = size_t(info.channels) * (output == Output::Float32 ? 4 : 2);
    const sf_count_t wanted = sf_count_t(bytes / frameBytes);
    // libsndfile zero-fills whatever part of a request it cannot serve, so
    // asking for a whole load step at the end of the sound would cost a
    // memset of megabytes: ask for no more than is left, and (for lengths
    // unknown or claimed by a damaged header) a modest piece at a time.
    const sf_count_t left = GetLength() > 0 ? info.frames - framesRead : SF_COUNT_MAX;
    sf_count_t done = 0;
    while (done < wanted) {
        sf_count_t ask = std::min({wanted - done, left - done, sf_count_t(65536)});
        sf_count_t got = ask > 0 ? ReadFrames(data + size_t(done) * frameBytes, ask) : 0;
        if (got <= 0)
            break;
        done += got;
        framesRead += got;
    }
    if (!order.empty()) {
        if (output == Output::Float32)
            Reorder<float>(data, done);
        else
            Reorder<int16_t>(data, done);
    }
    return ALuint(size_t(done) * frameBytes);
}

bool sndfileStream::Rewind()
{
    if (sf_seek(file.get(), 0, SEEK_SET) == 0 || Reopen()) {
        framesRead = 0;
        return true;
    }
    return Fail("Seek failed", false);
}

// A fresh handle at the start of the input, for codecs libsndfile cannot
// seek in; the old one stays (and its input where it read) when none opens.
bool sndfileStream::Reopen()
{
    std::istream &in = *inputStream;
    in.clear();
    const std::streampos readingAt = in.tellg();
    in.seekg(0);
    SF_INFO fresh{};
    SndfilePtr reopened(in ? sf_open_virtual(&VirtualIO, SFM_READ, &fresh, inputStream) : nullptr);
    if (!reopened || fresh.format != info.format || fresh.channels != info.channels ||
        fresh.samplerate != info.samplerate) {
        in.clear();
        in.seekg(readingAt);
        return false;
    }
    file = std::move(reopened);
    return true;
}

bool sndfileStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    // Decoding forward is exact but takes time, so such a stream says it
    // does not seek directly and the seek runs without the library's lock.
    if (!seeksDirectly)
        return SeekByDecoding(to, at);
    // libsndfile 1.2.0 lands up to a packet early when it seeks into the
    // last page of an Ogg Opus file; from two seconds before (more than a
    // page), decoding forward is exact.
    const bool opus = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
    const sf_count_t lead = opus ? sf_count_t(std::min<nuvexUInt64>(to, 2 * 48000)) : 0;
    const sf_count_t reached = to > nuvexUInt64(SF_COUNT_MAX)
                                   ? -1
                                   : sf_seek(file.get(), sf_count_t(to) - lead, SEEK_SET);
    if (reached < 0) // past the end is known beforehand, unless the length is not
        return Fail(GetLength() ? "Stream cannot seek" : "Position past the end", false);
    framesRead = reached;
    std::vector<float> skipped(size_t(std::min<sf_count_t>(lead, 4096)) * size_t(info.channels));
    for (sf_count_t left = lead, got = 1; left > 0 && got > 0; left -= got) {
        got = sf_readf_float(file.get(), skipped.data(), std::min<sf_count_t>(left, 4096));
        framesRead += std::max<sf_count_t>(got, 0);
    }
    at = nuvexUInt64(framesRead);
    return framesRead == sf_count_t(to) || Fail("Position past the end", false);
}

nuvexUInt64 sndfileStream::GetLength()
{
    // libsndfile says "as many as it can count" when it does not know (a
    // truncated Ogg file): that is an unknown length, not a huge one.
    if (info.frames <= 0 || info.frames == SF_COUNT_MAX)
        return 0;
    return nuvexUInt64(info.frames);
}

static DecoderDecl<sndfileStream, 1> sndfileStream_decoder;
const void *nuvex_init_sndfile() { return &sndfileStream_decoder; }
