#include "refdecode.h"

#include <libmodplug/modplug.h>
#include <vorbis/vorbisfile.h>

#ifdef NUVEX_MEDIA_SNDFILE
#include <FLAC/stream_decoder.h>
#include <mpg123.h>
#include <opusfile.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>

namespace nvmedia {

namespace {
struct Reader {
    const Bytes &image;
    size_t pos = 0;
    size_t Take(void *to, size_t bytes)
    {
        size_t n = std::min(bytes, image.size() - pos);
        memcpy(to, image.data() + pos, n);
        pos += n;
        return n;
    }
    int64_t SeekTo(int64_t offset, int whence)
    {
        int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(pos)
                                                                   : int64_t(image.size());
        if (base + offset < 0 || base + offset > int64_t(image.size()))
            return -1;
        pos = size_t(base + offset);
        return int64_t(pos);
    }
};

// ---- Ogg Vorbis ----

size_t VorbisRead(void *to, size_t size, size_t count, void *reader)
{
    return size ? static_cast<Reader *>(reader)->Take(to, size * count) / size : 0;
}
int VorbisSeek(void *reader, ogg_int64_t offset, int whence)
{
    return static_cast<Reader *>(reader)->SeekTo(offset, whence) < 0 ? -1 : 0;
}
long VorbisTell(void *reader) { return long(static_cast<Reader *>(reader)->pos); }

bool DecodeOpenedVorbis(OggVorbis_File &file, Decoded &out)
{
    std::unique_ptr<OggVorbis_File, int (*)(OggVorbis_File *)> owner(&file, ov_clear);
    const vorbis_info *info = ov_info(&file, -1);
    out.channels = info->channels;
    out.rate = uint32_t(info->rate);
    out.s16.resize(size_t(std::max<ogg_int64_t>(ov_pcm_total(&file, -1), 0)) * size_t(out.channels));
    const uint16_t one = 1;
    const int bigEndian = *reinterpret_cast<const uint8_t *>(&one) == 0;
    size_t filled = 0;
    int section = 0;
    while (filled < out.s16.size()) {
        int room = int(std::min<size_t>(out.s16.size() - filled, 1 << 19) * 2);
        long got = ov_read(&file, reinterpret_cast<char *>(out.s16.data() + filled), room, bigEndian, 2, 1,
                           &section);
        if (got <= 0)
            break;
        filled += size_t(got) / 2;
    }
    out.s16.resize(filled);
    return true;
}

#ifdef NUVEX_MEDIA_SNDFILE
// ---- FLAC ----

struct FlacJob {
    Reader reader;
    Decoded &out;
    bool asFloat;
    unsigned bits = 0;
};

FLAC__StreamDecoderReadStatus FlacRead(const FLAC__StreamDecoder *, FLAC__byte *buffer,
                                       size_t *bytes, void *job)
{
    *bytes = static_cast<FlacJob *>(job)->reader.Take(buffer, *bytes);
    return *bytes ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE
                  : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__StreamDecoderWriteStatus FlacWrite(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                         const FLAC__int32 *const planes[], void *data)
{
    FlacJob &job = *static_cast<FlacJob *>(data);
    const unsigned channels = frame->header.channels, blocksize = frame->header.blocksize;
    const unsigned bits = frame->header.bits_per_sample;
    if (int(channels) != job.out.channels || (!job.asFloat && bits > 16))
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    if (job.asFloat) {
        const float scale = 1.0f / float(1u << (bits - 1));
        std::vector<float> &out = job.out.f32;
        out.resize(out.size() + size_t(blocksize) * channels);
        float *to = out.data() + out.size() - size_t(blocksize) * channels;
        for (unsigned i = 0; i < blocksize; i++)
            for (unsigned c = 0; c < channels; c++)
                *to++ = float(planes[c][i]) * scale;
    } else {
        std::vector<int16_t> &out = job.out.s16;
        out.resize(out.size() + size_t(blocksize) * channels);
        int16_t *to = out.data() + out.size() - size_t(blocksize) * channels;
        for (unsigned i = 0; i < blocksize; i++)
            for (unsigned c = 0; c < channels; c++)
                *to++ = int16_t(planes[c][i] << (16 - bits));
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void FlacMetadata(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *meta, void *data)
{
    FlacJob &job = *static_cast<FlacJob *>(data);
    if (meta->type != FLAC__METADATA_TYPE_STREAMINFO)
        return;
    const auto &info = meta->data.stream_info;
    job.out.channels = int(info.channels);
    job.out.rate = info.sample_rate;
    const size_t samples = size_t(info.total_samples) * info.channels;
    if (job.asFloat)
        job.out.f32.reserve(samples);
    else
        job.out.s16.reserve(samples);
}

void FlacError(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *) {}

struct FlacDeleter {
    void operator()(FLAC__StreamDecoder *decoder) const { FLAC__stream_decoder_delete(decoder); }
};

// ---- mpg123 ----

ssize_t Mp3Read(void *reader, void *buffer, size_t bytes)
{
    return ssize_t(static_cast<Reader *>(reader)->Take(buffer, bytes));
}
off_t Mp3Seek(void *reader, off_t offset, int whence)
{
    return off_t(static_cast<Reader *>(reader)->SeekTo(offset, whence));
}
struct Mp3Deleter {
    void operator()(mpg123_handle *handle) const { mpg123_delete(handle); }
};
#endif
} // namespace

bool DecodeVorbis(const Bytes &image, Decoded &out)
{
    out = Decoded();
    Reader reader{image};
    OggVorbis_File file;
    const ov_callbacks io = {VorbisRead, VorbisSeek, nullptr, VorbisTell};
    return ov_open_callbacks(&reader, &file, nullptr, 0, io) == 0 && DecodeOpenedVorbis(file, out);
}

bool DecodeVorbisFile(const char *path, Decoded &out)
{
    out = Decoded();
    OggVorbis_File file;
    return ov_fopen(path, &file) == 0 && DecodeOpenedVorbis(file, out);
}

bool RenderModule(const Bytes &image, Decoded &out, size_t request, int order, size_t maxBytes)
{
    out = Decoded();
    std::unique_ptr<ModPlugFile, void (*)(ModPlugFile *)> module(ModPlug_Load(image.data(), int(image.size())),
                                                                 ModPlug_Unload);
    if (!module || request < 4)
        return false;
    if (order >= 0)
        ModPlug_SeekOrder(module.get(), order);
    out.channels = 2;
    out.rate = 44100;
    // Sized from the length libmodplug reports, plus a second of slack.
    out.s16.resize((size_t(ModPlug_GetLength(module.get())) * 441 / 10 + 44100) * 2);
    const size_t step = request / 2;
    size_t filled = 0;
    while (filled * 2 < maxBytes) {
        if (out.s16.size() - filled < step)
            out.s16.resize(out.s16.size() + step);
        int got = ModPlug_Read(module.get(), out.s16.data() + filled, int(request));
        if (got <= 0)
            break;
        filled += size_t(got) / 2;
    }
    out.s16.resize(std::min(filled, maxBytes / 2));
    return true;
}

#ifdef NUVEX_MEDIA_SNDFILE

bool DecodeFlac(const Bytes &image, Decoded &out, bool asFloat)
{
    out = Decoded();
    std::unique_ptr<FLAC__StreamDecoder, FlacDeleter> decoder(FLAC__stream_decoder_new());
    FlacJob job{Reader{image}, out, asFloat};
    return decoder &&
           FLAC__stream_decoder_init_stream(decoder.get(), FlacRead, nullptr, nullptr, nullptr,
                                            nullptr, FlacWrite, FlacMetadata, FlacError,
                                            &job) == FLAC__STREAM_DECODER_INIT_STATUS_OK &&
           FLAC__stream_decoder_process_until_end_of_stream(decoder.get()) &&
           FLAC__stream_decoder_get_state(decoder.get()) == FLAC__STREAM_DECODER_END_OF_STREAM;
}

bool DecodeOpus(const Bytes &image, Decoded &out, bool asFloat)
{
    out = Decoded();
    int error = 0;
    std::unique_ptr<OggOpusFile, void (*)(OggOpusFile *)> file(
        op_open_memory(image.data(), image.size(), &error), op_free);
    if (!file)
        return false;
    out.channels = op_channel_count(file.get(), -1);
    out.rate = 48000;
    op_set_dither_enabled(file.get(), 0);
    const ogg_int64_t total = op_pcm_total(file.get(), -1);
    // One 120 ms packet of slack: op_read wants room for a whole packet.
    const size_t room = size_t(std::max<ogg_int64_t>(total, 0) + 5760) * size_t(out.channels);
    size_t filled = 0;
    asFloat ? out.f32.resize(room) : out.s16.resize(room);
    for (;;) {
        int frames = asFloat ? op_read_float(file.get(), out.f32.data() + filled,
                                             int(room - filled), nullptr)
                             : op_read(file.get(), out.s16.data() + filled, int(room - filled),
                                       nullptr);
        if (frames < 0)
            return false;
        if (frames == 0 || op_channel_count(file.get(), -1) != out.channels)
            break;
        filled += size_t(frames) * size_t(out.channels);
    }
    asFloat ? out.f32.resize(filled) : out.s16.resize(filled);
    return true;
}

bool DecodeMp3(const Bytes &image, Decoded &out)
{
    out = Decoded();
    std::unique_ptr<mpg123_handle, Mp3Deleter> handle(mpg123_new(nullptr, nullptr));
    Reader reader{image};
    long rate = 0;
    int encoding = 0;
    mpg123_handle *h = handle.get();
    if (!h)
        return false;
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0);
    mpg123_format_none(h);
    const long *rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; i++)
        mpg123_format(h, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_replace_reader_handle(h, Mp3Read, Mp3Seek, nullptr) != MPG123_OK ||
        mpg123_open_handle(h, &reader) != MPG123_OK ||
        mpg123_getformat(h, &rate, &out.channels, &encoding) != MPG123_OK)
        return false;
    out.rate = uint32_t(rate);
    // mpg123_length is exact with a Xing header and an estimate without.
    size_t room = size_t(std::max<off_t>(mpg123_length(h), 0) + 1152) * size_t(out.channels);
    size_t filled = 0;
    for (;;) {
        if (out.s16.size() - filled < 1152 * 2)
            out.s16.resize(std::max(room, out.s16.size() * 3 / 2));
        size_t got = 0;
        int result = mpg123_read(h, out.s16.data() + filled, (out.s16.size() - filled) * 2, &got);
        filled += got / 2;
        if ((result != MPG123_OK && result != MPG123_NEW_FORMAT) || (result == MPG123_OK && !got))
            break;
    }
    out.s16.resize(filled);
    return true;
}

#endif

} // namespace nvmedia
