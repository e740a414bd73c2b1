// Ogg Vorbis through libvorbisfile: signed 16-bit samples in host order, with
// 6-, 7- and 8-channel sound rearranged into OpenAL's channel order.
//
// Chained files whose sections change the channel count or rate keep the
// format and rate of the section current at construction; a later section's
// samples are delivered as decoded (never past the caller's buffer), so such
// a change plays wrongly but safely.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include "../decoders.h"
#include "../decoderutil.h"

#include <vorbis/vorbisfile.h>

#include <algorithm>

class oggStream final : public nuvexStream {
public:
    explicit oggStream(std::istream *input);
    ~oggStream() override;

    bool IsValid() override { return vorbisInfo != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    nuvexUInt64 GetLength() override;
    bool Seek(nuvexUInt64 to, nuvexUInt64 &at) override;
    bool SeeksDirectly() override { return true; }
    nuvexUInt64 SeekLength() override;
    // Vorbis compresses far more than PCM formats; this only bounds a
    // pre-reservation, the load still grows beyond it when it must.
    nuvexUInt64 MaxExpansion() override { return 64; }

    static void Init() {}
    static void Deinit() {}

private:
    static size_t ReadCallback(void *ptr, size_t size, size_t nmemb, void *source);
    static int SeekCallback(void *source, ogg_int64_t offset, int whence);
    static int CloseCallback(void *source);
    static long TellCallback(void *source);
    static const ov_callbacks streamIO;

    void ReadComments();
    void ReorderChannels(ALubyte *data, ALuint bytes) const;

    OggVorbis_File vorbisFile;
    vorbis_info *vorbisInfo = nullptr;
    int currentSection = 0;
    ALenum format = 0;
};

const ov_callbacks oggStream::streamIO = {oggStream::ReadCallback, oggStream::SeekCallback,
                                          oggStream::CloseCallback, oggStream::TellCallback};

size_t oggStream::ReadCallback(void *ptr, size_t size, size_t nmemb, void *source)
{
    std::istream &in = *static_cast<oggStream *>(source)->inputStream;
    in.clear();
    if (size == 0)
        return 0;
    size_t got = ReadBytes(in, static_cast<ALubyte *>(ptr), size * nmemb);
    return got / size;
}

int oggStream::SeekCallback(void *source, ogg_int64_t offset, int whence)
{
    return int(SeekInput(*static_cast<oggStream *>(source)->inputStream, offset, whence));
}

int oggStream::CloseCallback(void *) { return 0; }

long oggStream::TellCallback(void *source)
{
    std::istream &in = *static_cast<oggStream *>(source)->inputStream;
    in.clear();
    return long(std::streamoff(in.tellg()));
}

oggStream::oggStream(std::istream *input) : nuvexStream(input)
{
    if (ov_open_callbacks(this, &vorbisFile, nullptr, 0, streamIO) != 0)
        return;
    vorbisInfo = ov_info(&vorbisFile, -1);
    if (!vorbisInfo) {
        ov_clear(&vorbisFile);
        return;
    }
    ReadComments();
}

// The comments of the link whose format the stream keeps (a chain's first).
void oggStream::ReadComments()
{
    const vorbis_comment *comments = ov_comment(&vorbisFile, -1);
    for (int i = 0; comments && i < comments->comments; i++)
        if (comments->user_comments[i] && comments->comment_lengths[i] > 0)
            AddVorbisComment(tags, comments->user_comments[i], size_t(comments->comment_lengths[i]));
    loop = LoopFromTags(tags, ALuint(vorbisInfo->rate));
}

oggStream::~oggStream()
{
    if (vorbisInfo)
        ov_clear(&vorbisFile);
    vorbisInfo = nullptr;
}

bool oggStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    if (format == 0)
        format = GetSampleFormat(ALuint(vorbisInfo->channels), 16, false);
    *fmt = format;
    *freq = ALuint(vorbisInfo->rate);
    *align = ALuint(vorbisInfo->channels) * 2;
    return true;
}

ALuint oggStream::GetData(ALubyte *data, ALuint bytes)
{
    ALuint got = 0;
    while (bytes > 0) {
        int chunk = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : int(bytes);
        long res = ov_read(&vorbisFile, reinterpret_cast<char *>(data + got), chunk,
                           BigEndian ? 1 : 0, 2, 1, &currentSection);
        if (res <= 0)
            break;
        bytes -= ALuint(res);
        got += ALuint(res);
    }
    ReorderChannels(data, got);
    return got;
}

void oggStream::ReorderChannels(ALubyte *data, ALuint bytes) const
{
    // Output position k takes the decoded sample at input position map[k].
    // Vorbis order: FL, C, FR, then sides/rears, LFE last. OpenAL's 6.1 puts
    // rear center before the sides, hence 5, 3, 4 at the end of the 7 map.
    static const int map6[] = {0, 2, 1, 5, 3, 4};
    static const int map7[] = {0, 2, 1, 6, 5, 3, 4};
    static const int map8[] = {0, 2, 1, 7, 5, 6, 3, 4};
    const int channels = vorbisInfo->channels;
    const int *map = channels == 6 ? map6 : channels == 7 ? map7 : channels == 8 ? map8 : nullptr;
    if (!map)
        return;
    const size_t frameBytes = size_t(channels) * 2;
    ALubyte frame[16];
    for (size_t pos = 0; pos + frameBytes <= bytes; pos += frameBytes) {
        std::copy(data + pos, data + pos + frameBytes, frame);
        for (int k = 0; k < channels; k++) {
            data[pos + size_t(k) * 2] = frame[map[k] * 2];
            data[pos + size_t(k) * 2 + 1] = frame[map[k] * 2 + 1];
        }
    }
}

bool oggStream::Rewind()
{
    if (ov_pcm_seek(&vorbisFile, 0) == 0)
        return true;
    return Fail("Seek failed", false);
}

bool oggStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    // Sample-exact, and across the links of a chained file.
    if (to > nuvexUInt64(INT64_MAX) || ov_pcm_seek(&vorbisFile, ogg_int64_t(to)) != 0)
        return Fail("Stream cannot seek", false);
    at = to;
    return true;
}

nuvexUInt64 oggStream::SeekLength()
{
    ogg_int64_t total = ov_pcm_total(&vorbisFile, -1);
    return total < 0 ? 0 : nuvexUInt64(total);
}

nuvexUInt64 oggStream::GetLength()
{
    ogg_int64_t total = ov_pcm_total(&vorbisFile, currentSection);
    return total < 0 ? 0 : nuvexUInt64(total);
}

static DecoderDecl<oggStream, 2> oggStream_decoder;
const void *nuvex_init_vorbisfile() { return &oggStream_decoder; }
