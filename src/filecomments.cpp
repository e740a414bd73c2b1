// Finding a Vorbis comment block in FLAC and Ogg Opus files.
#include "filecomments.h"

#include "decoderutil.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
// Input read at most in search of an Opus comment packet: far more than any
// writer's tags with cover art, and quick to read.
constexpr size_t MaxOggBytes = size_t(16) << 20;
// Metadata blocks passed over at most before a FLAC comment block.
constexpr int MaxFlacBlocks = 256;
constexpr size_t ReadPiece = 65536;

// Puts the input back where the reader found it, whatever the reader did.
class PositionKept {
public:
    explicit PositionKept(std::istream &in) : in(in)
    {
        in.clear();
        at = in.tellg();
    }
    ~PositionKept()
    {
        in.clear();
        in.seekg(at);
    }
    PositionKept(const PositionKept &) = delete;
    PositionKept &operator=(const PositionKept &) = delete;

private:
    std::istream &in;
    std::streampos at;
};

// Up to `length` bytes from where the input stands; the buffer grows with
// what arrives, so a length the file only claims costs nothing.
std::vector<ALubyte> ReadUpTo(std::istream &in, size_t length)
{
    std::vector<ALubyte> data;
    while (data.size() < length) {
        const size_t had = data.size(), want = std::min(ReadPiece, length - had);
        data.resize(had + want);
        const size_t got = ReadBytes(in, data.data() + had, want);
        data.resize(had + got);
        if (got < want)
            break;
    }
    return data;
}

struct OggReader {
    ogg_sync_state sync;
    ogg_stream_state stream;
    bool streamStarted = false;
    OggReader() { ogg_sync_init(&sync); }
    ~OggReader()
    {
        if (streamStarted)
            ogg_stream_clear(&stream);
        ogg_sync_clear(&sync);
    }
    OggReader(const OggReader &) = delete;
    OggReader &operator=(const OggReader &) = delete;
};

// The second packet of the input's first logical stream, false when it is
// not complete within MaxOggBytes, lost in a gap, or absent.
bool SecondPacket(std::istream &in, std::vector<ALubyte> &packet)
{
    OggReader ogg;
    int packets = 0;
    for (size_t read = 0;;) {
        ogg_page page;
        const int paged = ogg_sync_pageout(&ogg.sync, &page);
        if (paged < 0) // bytes skipped to the next page
            continue;
        if (paged == 0) {
            if (read >= MaxOggBytes)
                return false;
            char *buffer = ogg_sync_buffer(&ogg.sync, long(ReadPiece));
            const size_t got = buffer ? ReadBytes(in, reinterpret_cast<ALubyte *>(buffer), ReadPiece) : 0;
            if (got == 0 || ogg_sync_wrote(&ogg.sync, long(got)) != 0)
                return false;
            read += got;
            continue;
        }
        if (!ogg.streamStarted) {
            if (!ogg_page_bos(&page))
                return false;
            ogg_stream_init(&ogg.stream, ogg_page_serialno(&page));
            ogg.streamStarted = true;
        }
        if (ogg_stream_pagein(&ogg.stream, &page) != 0) // another stream's page
            continue;
        ogg_packet next;
        for (int got; (got = ogg_stream_packetout(&ogg.stream, &next)) != 0;) {
            if (got < 0)
                return false;
            if (++packets == 2) {
                packet.assign(next.packet, next.packet + next.bytes);
                return true;
            }
        }
    }
}
} // namespace

void ReadFlacComments(std::istream &in, SoundTags &tags)
{
    PositionKept kept(in);
    in.seekg(0);
    ALubyte head[10];
    const uint32_t skip = ReadBytes(in, head, sizeof(head)) == sizeof(head) ? Id3v2Length(head) : 0;
    in.clear();
    in.seekg(std::streamoff(skip));
    char magic[4];
    if (!in.read(magic, 4) || memcmp(magic, "fLaC", 4) != 0)
        return;
    for (int block = 0; block < MaxFlacBlocks; block++) {
        ALubyte header[4];
        if (ReadBytes(in, header, 4) < 4)
            return;
        const uint32_t length = uint32_t(header[1]) << 16 | uint32_t(header[2]) << 8 | header[3];
        if ((header[0] & 0x7F) == 4) {
            const std::vector<ALubyte> body = ReadUpTo(in, length);
            ParseVorbisCommentBlock(tags, body.data(), body.size());
            return;
        }
        if (header[0] & 0x80) // the last metadata block
            return;
        in.seekg(std::streamoff(length), std::ios_base::cur);
    }
}

void ReadOpusComments(std::istream &in, SoundTags &tags)
{
    PositionKept kept(in);
    in.seekg(0);
    std::vector<ALubyte> packet;
    if (SecondPacket(in, packet) && packet.size() >= 8 && memcmp(packet.data(), "OpusTags", 8) == 0)
        ParseVorbisCommentBlock(tags, packet.data() + 8, packet.size() - 8);
}
