// MPEG audio Layer III (MP3) through libmpg123, as signed 16-bit samples
// (clipped by libmpg123's synthesis) at the stream's own rate, gapless: the
// encoder delay and padding that a LAME/Xing header names are cut, so a loop
// joins without a gap. libsndfile reads MP3 too, but stops at its own length
// estimate (a VBR file without a Xing header loses its end), so MP3 does not
// go through it.
//
// libmpg123 would scan any junk for something that looks like a frame, so
// an input is taken only when two Layer III frames follow each other from
// its first byte, or from the end of an ID3v2 tag there.
#include "../decoders.h"
#include "../decoderutil.h"

#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {
// Frames a seek decodes before its target. No count rebuilds libmpg123's
// state exactly: in mono and MPEG-2 and 2.5 streams most seeks leave a few
// samples one step off a decode from the start, up to the end of the file
// (in a 10 s mono 22,050 Hz file, 70% of seeks with 16 frames, still 50%
// with 64; fewer than 16 make it worse).
// The bound of one step is documented and tested.
constexpr long PreFrames = 16;

struct HandleDeleter {
    void operator()(mpg123_handle *handle) const { mpg123_delete(handle); }
};
using HandlePtr = std::unique_ptr<mpg123_handle, HandleDeleter>;

// The length of the Layer III frame whose header is `h`, 0 when it is none
// (free-format bitrates included: their length cannot be told).
uint32_t Layer3FrameLength(const ALubyte *h)
{
    static const uint16_t mpeg1Kbps[15] = {0,   32,  40,  48,  56,  64,  80, 96,
                                           112, 128, 160, 192, 224, 256, 320};
    static const uint16_t mpeg2Kbps[15] = {0,  8,  16, 24,  32,  40,  48, 56,
                                           64, 80, 96, 112, 128, 144, 160};
    static const uint32_t mpeg1Rates[3] = {44100, 48000, 32000};
    const int version = (h[1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = (h[1] >> 1) & 3;   // 1: Layer III
    const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || layer != 1 ||
        bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 || (h[3] & 3) == 2)
        return 0;
    const uint32_t rate = mpeg1Rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const uint32_t kbps = (version == 3 ? mpeg1Kbps : mpeg2Kbps)[bitrateIndex];
    return (version == 3 ? 144000 : 72000) * kbps / rate + ((h[2] >> 1) & 1);
}

// ---- Tags ------------------------------------------------------------------

// The first of the strings an ID3v2 frame may hold (libmpg123 gives them as
// UTF-8, NUL-separated).
std::string FirstString(const mpg123_string &s)
{
    return s.p && s.fill > 0 ? std::string(s.p, strnlen(s.p, s.fill)) : std::string();
}

// The genres an ID3v1 tag numbers, and which ID3v2.3 genres refer to as
// "(n)"; numbers past these are left as they are.
const char *const Genres[] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental",
    "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk",
    "Space", "Meditative", "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave",
    "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy",
    "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American",
    "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal",
    "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock"};
constexpr size_t GenreCount = sizeof(Genres) / sizeof(Genres[0]);

// An ID3v2 genre: "(17)" or "17" is the numbered genre's name, anything
// else (names, "(17)Rock") stays as written.
std::string GenreName(const std::string &genre)
{
    const bool parenthesised = genre.size() > 2 && genre.front() == '(' && genre.back() == ')';
    const std::string digits = parenthesised ? genre.substr(1, genre.size() - 2) : genre;
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return genre;
    const size_t number = size_t(std::stoi(digits));
    return number < GenreCount ? Genres[number] : genre;
}

void AddId3v2(SoundTags &tags, const mpg123_id3v2 &v2)
{
    // An empty frame (or one whose text libmpg123 could not convert) names
    // nothing: ID3v1 may still.
    const auto add = [&tags](const std::string &name, const std::string &text) {
        if (!text.empty())
            tags.Add(name, text);
    };
    static const struct {
        const char *id;
        const char *name;
    } names[] = {{"TIT2", tagname::Title}, {"TPE1", tagname::Artist}, {"TALB", tagname::Album},
                 {"TDRC", tagname::Date},  {"TYER", tagname::Date},   {"TRCK", tagname::TrackNumber},
                 {"TCON", tagname::Genre}, {"TCOP", tagname::Copyright}};
    for (size_t i = 0; i < v2.texts; i++)
        for (const auto &entry : names)
            if (memcmp(v2.text[i].id, entry.id, 4) == 0) {
                const std::string text = FirstString(v2.text[i].text);
                add(entry.name, memcmp(entry.id, "TCON", 4) == 0 ? GenreName(text) : text);
            }
    // Comments with a description are some program's private data (a
    // player's loudness figures and the like), not the comment.
    for (size_t i = 0; i < v2.comments; i++)
        if (FirstString(v2.comment_list[i].description).empty())
            add(tagname::Comment, FirstString(v2.comment_list[i].text));
    for (size_t i = 0; i < v2.extras; i++)
        add(FirstString(v2.extra[i].description), FirstString(v2.extra[i].text));
}

// ID3v1 fields are Latin-1, padded with NULs or spaces.
void AddId3v1Field(SoundTags &tags, const char *name, const char *field, size_t width)
{
    std::string text = Latin1ToUtf8(field, strnlen(field, width));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (!text.empty())
        tags.Add(name, text);
}

void AddId3v1(SoundTags &tags, const mpg123_id3v1 &v1)
{
    AddId3v1Field(tags, tagname::Title, v1.title, sizeof(v1.title));
    AddId3v1Field(tags, tagname::Artist, v1.artist, sizeof(v1.artist));
    AddId3v1Field(tags, tagname::Album, v1.album, sizeof(v1.album));
    AddId3v1Field(tags, tagname::Date, v1.year, sizeof(v1.year));
    // ID3v1.1: a NUL before the comment's last byte makes that the track.
    const bool withTrack = v1.comment[28] == 0 && v1.comment[29] != 0;
    AddId3v1Field(tags, tagname::Comment, v1.comment, withTrack ? 28 : 30);
    if (withTrack)
        tags.Add(tagname::TrackNumber, std::to_string(static_cast<unsigned char>(v1.comment[29])));
    if (v1.genre < GenreCount)
        tags.Add(tagname::Genre, Genres[v1.genre]);
}

bool StartsWithFrames(std::istream &in)
{
    ALubyte head[10];
    if (ReadBytes(in, head, sizeof(head)) != sizeof(head))
        return false;
    const std::streamoff first = Id3v2Length(head);
    ALubyte one[4], two[4];
    in.clear();
    in.seekg(first);
    if (ReadBytes(in, one, 4) != 4)
        return false;
    uint32_t length = Layer3FrameLength(one);
    in.seekg(first + std::streamoff(length));
    // The second frame must be of the same stream: version, layer and rate.
    return length > 0 && ReadBytes(in, two, 4) == 4 && Layer3FrameLength(two) > 0 &&
           (one[1] & 0xFE) == (two[1] & 0xFE) && (one[2] & 0x0C) == (two[2] & 0x0C);
}
} // namespace

class mpg123Stream final : public nuvexStream {
public:
    explicit mpg123Stream(std::istream *input);

    bool IsValid() override { return handle != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    nuvexUInt64 GetLength() override { return length; }
    bool Seek(nuvexUInt64 to, nuvexUInt64 &at) override;
    bool SeeksDirectly() override { return true; }
    // From the Xing header when there is one, else libmpg123's estimate
    // from the bitrate: good enough to reserve for a whole load.
    nuvexUInt64 ExpectedFrames() override
    {
        off_t frames = mpg123_length(handle.get());
        return frames > 0 ? nuvexUInt64(frames) : 0;
    }
    nuvexUInt64 MaxExpansion() override { return 64; }

    static void Init() { mpg123_init(); }
    static void Deinit() { mpg123_exit(); }

private:
    static ssize_t ReadCallback(void *source, void *buffer, size_t bytes);
    static off_t SeekCallback(void *source, off_t offset, int whence);

    HandlePtr OpenHandle(bool readTags = false);
    nuvexUInt64 CountFramesAndReadTags();

    HandlePtr handle;
    long rate = 0;
    int channels = 0;
    bool formatChanged = false;
    // Counted before the stream is handed out, and never changed: the
    // length may be asked for on any thread while another one decodes.
    nuvexUInt64 length = 0;
};

ssize_t mpg123Stream::ReadCallback(void *source, void *buffer, size_t bytes)
{
    std::istream &in = *static_cast<mpg123Stream *>(source)->inputStream;
    in.clear();
    return ssize_t(ReadBytes(in, static_cast<ALubyte *>(buffer), bytes));
}

off_t mpg123Stream::SeekCallback(void *source, off_t offset, int whence)
{
    return off_t(SeekInput(*static_cast<mpg123Stream *>(source)->inputStream, offset, whence));
}

mpg123Stream::mpg123Stream(std::istream *input) : nuvexStream(input)
{
    if (!StartsWithFrames(*input))
        return;
    length = CountFramesAndReadTags();
    inputStream->clear();
    inputStream->seekg(0);
    handle = OpenHandle();
    int encoding = 0;
    if (handle && (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK ||
                   rate <= 0 || (channels != 1 && channels != 2)))
        handle.reset();
    // The tags count frames of the gapless stream, which is what this
    // decoder delivers.
    if (handle)
        loop = LoopFromTags(tags, ALuint(rate));
}

// A handle reading this stream's input from where it stands, giving 16-bit
// samples at whatever rate and channel count the stream has. Only the one
// that reads the tags parses the ID3v2 tag: the decoding handles are made
// again on every rewind, and a large tag would be read on each.
HandlePtr mpg123Stream::OpenHandle(bool readTags)
{
    HandlePtr h(mpg123_new(nullptr, nullptr));
    if (!h)
        return nullptr;
    // Its notes about the input would go to our callers' stderr.
    mpg123_param(h.get(), MPG123_ADD_FLAGS,
                 MPG123_GAPLESS | MPG123_QUIET | (readTags ? 0 : MPG123_SKIP_ID3V2), 0);
    mpg123_param(h.get(), MPG123_PREFRAMES, PreFrames, 0);
    mpg123_format_none(h.get());
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; i++)
        mpg123_format(h.get(), rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_replace_reader_handle(h.get(), ReadCallback, SeekCallback, nullptr) != MPG123_OK ||
        mpg123_open_handle(h.get(), this) != MPG123_OK)
        return nullptr;
    return h;
}

bool mpg123Stream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = channels == 1 ? AL_FORMAT_MONO16 : AL_FORMAT_STEREO16;
    *freq = ALuint(rate);
    *align = ALuint(channels) * 2;
    return true;
}

ALuint mpg123Stream::GetData(ALubyte *data, ALuint bytes)
{
    const size_t frameBytes = size_t(channels) * 2;
    const size_t wanted = bytes - bytes % frameBytes;
    size_t done = 0;
    while (done < wanted && !formatChanged) {
        size_t got = 0;
        int result = mpg123_read(handle.get(), data + done, wanted - done, &got);
        done += got;
        if (result == MPG123_NEW_FORMAT) {
            // A stream that changes rate or channels midway ends there: one
            // OpenAL format cannot carry both parts.
            long newRate = 0;
            int newChannels = 0, encoding = 0;
            mpg123_getformat(handle.get(), &newRate, &newChannels, &encoding);
            formatChanged = newRate != rate || newChannels != channels;
        } else if (result != MPG123_OK || got == 0) {
            break;
        }
    }
    return ALuint(done - done % frameBytes);
}

bool mpg123Stream::Rewind()
{
    // Seeking to the start does not quite reset libmpg123's decoder (a few
    // samples of the next pass come out one step off, so loops would not
    // repeat exactly); a fresh handle does.
    inputStream->clear();
    inputStream->seekg(0);
    HandlePtr fresh = OpenHandle();
    long newRate = 0;
    int newChannels = 0, encoding = 0;
    if (!fresh || mpg123_getformat(fresh.get(), &newRate, &newChannels, &encoding) != MPG123_OK ||
        newRate != rate || newChannels != channels)
        return Fail("Seek failed", false);
    handle = std::move(fresh);
    formatChanged = false;
    return true;
}

bool mpg123Stream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    // libmpg123 finds the frame through its index (scanning ahead when it
    // has not read that far) and decodes into it; offsets count the gapless
    // output.
    // From a fresh handle (see Rewind), so that where the stream stood does
    // not matter. libmpg123 decodes frames before the target to fill its
    // bit reservoir and filter state; within the first of them it can be a
    // sample step off, so near the start the frames are decoded instead.
    if (!Rewind())
        return Fail("Stream cannot seek", false);
    at = 0;
    if (to < PreFrames * 1152) {
        std::vector<ALubyte> skipped(size_t(channels) * 2 * 1152);
        while (at < to) {
            const ALuint ask = ALuint(std::min<nuvexUInt64>(to - at, 1152)) * ALuint(channels) * 2;
            const ALuint got = GetData(skipped.data(), ask);
            if (got == 0)
                return Fail("Position past the end", false);
            at += got / (ALuint(channels) * 2);
        }
        return true;
    }
    const off_t reached = to > nuvexUInt64(std::numeric_limits<off_t>::max())
                              ? -1
                              : mpg123_seek(handle.get(), off_t(to), SEEK_SET);
    if (reached < 0)
        return Fail(GetLength() ? "Stream cannot seek" : "Position past the end", false);
    // A damaged stream may end before the frame, or its index mislead.
    at = nuvexUInt64(reached);
    return at == to || Fail(at < to ? "Position past the end" : "Stream cannot seek", false);
}

// The length is exact only once every frame header has been read (a file
// without a Xing header says nothing about it). A scan by the decoding
// handle would change what it decodes next (a few samples come out one step
// off), so a handle of its own reads the headers, before decoding starts:
// later, it would move the input under a decode running on another thread
// (the length needs no lock). The same scan reads the ID3v2 tag at the start
// and the ID3v1 trailer, so the tags cost no pass of their own.
nuvexUInt64 mpg123Stream::CountFramesAndReadTags()
{
    inputStream->clear();
    inputStream->seekg(0);
    HandlePtr scanner = OpenHandle(true);
    if (!scanner)
        return 0;
    const bool scanned = mpg123_scan(scanner.get()) == MPG123_OK;
    mpg123_id3v1 *v1 = nullptr;
    mpg123_id3v2 *v2 = nullptr;
    if ((mpg123_meta_check(scanner.get()) & MPG123_ID3) &&
        mpg123_id3(scanner.get(), &v1, &v2) == MPG123_OK) {
        // ID3v2 first: ID3v1 fills in only the names it lacks.
        if (v2)
            AddId3v2(tags, *v2);
        if (v1)
            AddId3v1(tags, *v1);
    }
    const off_t frames = scanned ? mpg123_length(scanner.get()) : 0;
    return frames > 0 ? nuvexUInt64(frames) : 0;
}

static DecoderDecl<mpg123Stream, 0> mpg123Stream_decoder;
const void *nuvex_init_mpg123() { return &mpg123Stream_decoder; }
