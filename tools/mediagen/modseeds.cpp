// One small image per tracker format that libmodplug reads, each written
// here field by field. Every song plays the same short phrase (a few notes
// on two channels, at speed 3 where the format lets the file say so) from
// one looped 8-bit sine, so that each image renders sound, not only loads.
//
// Only the fields a reader needs are set; the rest stay zero. Where a
// reader insists on a minimum file size, the sample is made longer rather
// than padding appended.
#include "media.h"

#include <cmath>

namespace nvmedia {

namespace {

// Little- and big-endian fields, zero-padded text, and patching of offsets
// that are known only once the thing they point at is written.
struct Out {
    Bytes b;
    size_t size() const { return b.size(); }
    Out &u8(uint32_t v)
    {
        b.push_back(uint8_t(v));
        return *this;
    }
    Out &le16(uint32_t v) { return u8(v).u8(v >> 8); }
    Out &le32(uint32_t v) { return le16(v & 0xFFFF).le16(v >> 16); }
    Out &be16(uint32_t v) { return u8(v >> 8).u8(v); }
    Out &be32(uint32_t v) { return be16(v >> 16).be16(v & 0xFFFF); }
    Out &text(const std::string &s, size_t width)
    {
        for (size_t i = 0; i < width; i++)
            u8(i < s.size() ? uint8_t(s[i]) : 0);
        return *this;
    }
    Out &tag(const char *s) { return text(s, std::char_traits<char>::length(s)); }
    Out &zeros(size_t n) { return fill(n, 0); }
    Out &fill(size_t n, uint8_t v)
    {
        b.insert(b.end(), n, v);
        return *this;
    }
    Out &bytes(const Bytes &more)
    {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    Out &align(size_t to) { return zeros((to - b.size() % to) % to); }
    void setLE16(size_t at, uint32_t v)
    {
        b.at(at) = uint8_t(v);
        b.at(at + 1) = uint8_t(v >> 8);
    }
    void setLE32(size_t at, uint32_t v)
    {
        setLE16(at, v & 0xFFFF);
        setLE16(at + 2, v >> 16);
    }
    void setBE32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            b.at(at + size_t(i)) = uint8_t(v >> (24 - 8 * i));
    }
};

// The instrument: a sine of 32 frames a period, so 261.6 Hz (middle C) at
// the 8363 Hz that every format takes as a sample's base rate. Played
// looped whole.
std::vector<int8_t> Sine(size_t frames = 256)
{
    const double step = std::acos(-1.0) / 16.0;
    std::vector<int8_t> out;
    for (size_t i = 0; i < frames; i++)
        out.push_back(int8_t(std::lround(std::sin(double(i) * step) * 100.0)));
    return out;
}
Bytes Signed8(size_t frames = 256)
{
    std::vector<int8_t> s = Sine(frames);
    return Bytes(s.begin(), s.end());
}
Bytes Unsigned8(size_t frames = 256)
{
    Bytes out = Signed8(frames);
    for (uint8_t &v : out)
        v ^= 0x80;
    return out;
}
// Each byte the difference from the one before.
Bytes Delta8(size_t frames = 256)
{
    Bytes out = Signed8(frames);
    for (size_t i = out.size(); i-- > 1;)
        out[i] = uint8_t(out[i] - out[i - 1]);
    return out;
}

// The phrase: row, channel, semitones from middle C. Fits 16 rows; a format
// with fixed 64-row patterns plays the rest as silence.
struct Hit {
    int row, channel, semi;
};
const Hit Phrase[] = {{0, 0, 0}, {0, 1, -12}, {4, 0, 4}, {8, 0, 7}, {8, 1, -5}, {12, 0, 12}};
const Hit *HitAt(int row, int channel)
{
    for (const Hit &h : Phrase)
        if (h.row == row && h.channel == channel)
            return &h;
    return nullptr;
}
// Octave in the high nibble, semitone in the low one.
uint32_t Oct(int note) { return uint32_t((note / 12) << 4 | note % 12); }
const uint32_t C2Spd = 8363;

// ---- Amiga-style MOD, from the writer's own images ----

// The demo song cut to its first 16 rows at speed 3.
Bytes ProTracker()
{
    ModSpec song = DemoModule(1);
    auto &notes = song.patterns[0].notes;
    for (size_t i = notes.size(); i-- > 0;)
        if (notes[i].row >= 16)
            notes.erase(notes.begin() + long(i));
    notes.push_back({0, 3, 0, 0, 0xF, 3});
    notes.push_back({15, 3, 0, 0, 0xD, 0});
    return WriteMod(song);
}
// Without the tag the format has 15 sample headers, so the order list sits
// at 470 instead of 950 and the patterns follow it directly.
Bytes SoundTracker()
{
    Bytes mk = ProTracker();
    Out o;
    o.bytes(Bytes(mk.begin(), mk.begin() + 20 + 15 * 30));
    o.bytes(Bytes(mk.begin() + 950, mk.begin() + 1080));
    o.bytes(Bytes(mk.begin() + 1084, mk.end()));
    return o.b;
}
// "6CHN"/"8CHN": rows of 6 or 8 four-byte cells; the added channels echo
// the first ones. One pattern, so the sample data follows at 1084 + 64 rows.
Bytes MultiChannelMod(int channels)
{
    Bytes mk = ProTracker();
    Out o;
    o.bytes(Bytes(mk.begin(), mk.begin() + 1080)).tag(channels == 6 ? "6CHN" : "8CHN");
    for (size_t row = 0; row < 64; row++) {
        auto cells = mk.begin() + long(1084 + row * 16);
        o.bytes(Bytes(cells, cells + 16));
        o.bytes(Bytes(cells, cells + 4 * (channels - 4)));
    }
    o.bytes(Bytes(mk.begin() + 1084 + 1024, mk.end()));
    return o.b;
}

// ---- Scream Tracker 3 ----

// 96-byte header ("SCRM" at 44), the order list (even length), then 16-bit
// paragraph pointers (offset / 16) to the instruments and patterns. A
// pattern is a byte count, then 64 packed rows: per event a channel byte
// with 0x20 set for note and instrument, and a zero byte ending each row.
// ffi = 2: sample data unsigned.
Bytes S3m(size_t frames = 256)
{
    Out o;
    o.text("nuvex s3m", 28).u8(0x1A).u8(16).zeros(2);
    o.le16(2).le16(1).le16(1).le16(0).le16(0x1320).le16(2).tag("SCRM");
    o.u8(64).u8(3).u8(125).u8(0xB0).u8(0).u8(0).zeros(10); // volumes, speed, tempo
    for (int c = 0; c < 32; c++)
        o.u8(c < 2 ? uint32_t(c * 8) : 255); // left 1, right 1, rest off
    o.u8(0).u8(255);
    size_t pointers = o.size();
    o.zeros(4).align(16);
    size_t ins = o.size();
    o.u8(1).text("sine.raw", 12).zeros(3).le32(uint32_t(frames)).le32(0).le32(uint32_t(frames));
    o.u8(64).u8(0).u8(0).u8(1).le32(C2Spd).zeros(12).text("sine", 28).tag("SCRS");
    o.align(16);
    size_t pat = o.size();
    o.zeros(2);
    for (int row = 0; row < 64; row++) {
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(0x20 | uint32_t(ch)).u8(Oct(48 + h->semi)).u8(1);
        o.u8(0);
    }
    o.setLE16(pat, uint32_t(o.size() - pat));
    o.align(16);
    size_t data = o.size();
    o.bytes(Unsigned8(frames));
    o.setLE16(pointers, uint32_t(ins / 16));
    o.setLE16(pointers + 2, uint32_t(pat / 16));
    o.b[ins + 13] = uint8_t(data >> 20); // memseg: high byte, then low word
    o.setLE16(ins + 14, uint32_t(data >> 4));
    return o.b;
}

// ---- FastTracker 2 ----

// Header size 276 counts from offset 60 (through the 256-byte order
// table). Pattern cells are packed: 0x80 plus bits for which of note,
// instrument, ... follow. Instrument header 263 bytes, then 40-byte sample
// headers, then delta-coded data. Note 49 (C-4) plays the base rate.
Bytes Xm()
{
    Out o;
    o.tag("Extended Module: ").text("nuvex xm", 20).u8(0x1A).text("nuvex", 20).le16(0x0104);
    o.le32(276).le16(1).le16(0).le16(2).le16(1).le16(1).le16(1).le16(3).le16(125).zeros(256);
    Out cells;
    for (int row = 0; row < 16; row++)
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                cells.u8(0x83).u8(uint32_t(49 + h->semi)).u8(1);
            else
                cells.u8(0x80);
    o.le32(9).u8(0).le16(16).le16(uint32_t(cells.size())).bytes(cells.b);
    o.le32(263).text("sine", 22).u8(0).le16(1).le32(40).zeros(96 + 48 + 48 + 16 + 22);
    o.le32(256).le32(0).le32(256).u8(64).u8(0).u8(1).u8(128).u8(0).u8(0).text("sine", 22);
    o.bytes(Delta8());
    return o.b;
}

// ---- Impulse Tracker ----

// 192-byte header, orders, then 32-bit offsets of samples and patterns.
// Sample-only song (no instruments). "IMPS" headers are 80 bytes with the
// data offset at 72. Patterns: byte length, rows, then per event a channel
// byte (+1, 0x80 = a mask byte follows) and the mask (1 note, 2
// instrument). Note 60 (C-5) plays the base rate.
Bytes It()
{
    Out o;
    o.tag("IMPM").text("nuvex it", 26).le16(0x1004).le16(2).le16(0).le16(1).le16(1);
    o.le16(0x0214).le16(0x0214).le16(0x09).le16(0);
    o.u8(128).u8(48).u8(3).u8(125).u8(128).u8(0).le16(0).le32(0).le32(0);
    o.fill(64, 32).fill(64, 64).u8(0).u8(255);
    size_t pointers = o.size();
    o.zeros(8);
    size_t smp = o.size();
    o.tag("IMPS").text("sine.raw", 12).u8(0).u8(64).u8(0x11).u8(64).text("sine", 26);
    o.u8(1).u8(32).le32(256).le32(0).le32(256).le32(C2Spd).le32(0).le32(0).le32(0).zeros(4);
    size_t pat = o.size();
    Out cells;
    for (int row = 0; row < 16; row++) {
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                cells.u8(0x81 + uint32_t(ch)).u8(3).u8(uint32_t(60 + h->semi)).u8(1);
        cells.u8(0);
    }
    o.le16(uint32_t(cells.size())).le16(16).zeros(4).bytes(cells.b);
    o.setLE32(smp + 72, uint32_t(o.size()));
    o.bytes(Signed8());
    o.setLE32(pointers, uint32_t(smp));
    o.setLE32(pointers + 4, uint32_t(pat));
    return o.b;
}

// ---- OctaMED ----

// Big-endian. 52-byte header with pointers to the song (at 52), the block
// array and the sample array. The song holds 63 eight-byte sample entries
// (loop start and length in words), then block count, song length, the
// 256-byte play sequence, tempo (BPM with flags2 0x20) and ticks per line.
// MMD0 blocks: tracks and lines-1 as bytes, 3-byte cells (6-bit note, 4+4
// bits instrument and command, data); MMD1: words, a block-info pointer,
// then 4-byte cells. Samples: length, type 0, signed data.
Bytes Med(int version)
{
    Out o;
    o.tag(version ? "MMD1" : "MMD0").zeros(4).be32(52).zeros(4).zeros(4).zeros(4).zeros(8);
    o.zeros(4).zeros(4).zeros(8).be16(0xFFFF).zeros(2);
    o.be16(0).be16(128).u8(0).u8(0).u8(64).u8(0).zeros(62 * 8);
    o.be16(1).be16(1).zeros(256).be16(125).u8(0).u8(0).u8(0x20 | 3).u8(3).fill(16, 64);
    o.u8(64).u8(1);
    o.setBE32(16, uint32_t(o.size()));
    size_t blockArray = o.size();
    o.zeros(4);
    o.setBE32(blockArray, uint32_t(o.size()));
    if (version)
        o.be16(4).be16(15).be32(0);
    else
        o.u8(4).u8(15);
    for (int row = 0; row < 16; row++)
        for (int ch = 0; ch < 4; ch++) {
            const Hit *h = HitAt(row, ch);
            uint32_t note = h ? uint32_t(13 + h->semi) : 0, ins = h ? 1 : 0;
            if (version)
                o.u8(note).u8(ins).u8(0).u8(0);
            else
                o.u8(note).u8(ins << 4).u8(0);
        }
    o.align(2);
    o.setBE32(24, uint32_t(o.size()));
    size_t sampleArray = o.size();
    o.zeros(4);
    o.setBE32(sampleArray, uint32_t(o.size()));
    o.be32(256).be16(0).bytes(Signed8());
    o.setBE32(4, uint32_t(o.size()));
    return o.b;
}

// ---- Composer 669 ----

// "if", a 108-byte message, counts, then 128 each of orders, per-pattern
// speeds and break rows (0x1F1 bytes), 25-byte sample headers, 8-channel
// 64-row patterns of 3-byte cells (6-bit note, 6-bit 0-based sample, 4-bit
// volume; 0xFF: empty), unsigned data.
Bytes Composer669()
{
    Out o;
    o.tag("if").text("nuvex 669", 108).u8(1).u8(1).u8(0);
    o.u8(0).fill(127, 0xFF).u8(3).zeros(127).u8(15).zeros(127);
    o.text("sine.raw", 13).le32(256).le32(0).le32(256);
    for (int row = 0; row < 64; row++)
        for (int ch = 0; ch < 8; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(uint32_t(24 + h->semi) << 2).u8(0x0F).u8(0xFF);
            else
                o.u8(0xFF).u8(0).u8(0xFF);
    o.bytes(Unsigned8());
    return o.b;
}

// ---- MultiTracker ----

// 66-byte header, 37-byte sample headers, 128 orders, then 64-row tracks
// of 3-byte cells (6-bit note, 6-bit sample, 4-bit command, parameter),
// then per pattern 32 track numbers (1-based, 0 = empty), then unsigned
// data. Track 1 also sets speed 3 on its first row. libmodplug refuses a
// file of one pattern, so an unused second one repeats the first.
Bytes Mtm()
{
    Out o;
    o.tag("MTM").u8(0x10).text("nuvex mtm", 20).le16(2).u8(1).u8(0).le16(0).u8(1).u8(0);
    o.u8(64).u8(4).u8(3).u8(12).u8(12).u8(3).fill(28, 8);
    o.text("sine", 22).le32(256).le32(0).le32(256).u8(0).u8(64).u8(0).zeros(128);
    for (int ch = 0; ch < 2; ch++)
        for (int row = 0; row < 64; row++) {
            const Hit *h = HitAt(row, ch);
            uint32_t cmd = ch == 0 && row == 0 ? 0x0F : 0, param = cmd ? 3 : 0;
            o.u8(h ? uint32_t(24 + h->semi) << 2 : 0).u8((h ? 0x10 : 0) | cmd).u8(param);
        }
    o.le16(1).le16(2).zeros(60).le16(1).le16(2).zeros(60);
    o.bytes(Unsigned8());
    return o.b;
}

// ---- UltraTracker ----

// "MAS_UTrack_V004", title, message lines (x32 bytes), 66-byte sample
// headers (length = end - start of the sample's GUS address range; flag 8
// loops), 256 orders, channels-1, patterns-1, per-channel pan, then the
// events channel by channel, each channel holding every pattern's 64 rows:
// 5 bytes (note, sample, two command nibbles, two parameters); 0xFC, count
// repeats the event that follows.
Bytes Ult()
{
    Out o;
    o.tag("MAS_UTrack_V004").text("nuvex ult", 32).u8(0).u8(1);
    o.text("sine", 32).text("sine.raw", 12).le32(0).le32(256).le32(0).le32(256);
    o.u8(255).u8(8).le16(C2Spd).le16(0);
    o.u8(0).fill(255, 0xFF).u8(1).u8(0).u8(3).u8(12);
    for (int ch = 0; ch < 2; ch++)
        for (int row = 0; row < 64;) {
            const Hit *h = HitAt(row, ch);
            if (h || row == 0) {
                uint32_t speed = ch == 0 && row == 0 ? 3 : 0;
                o.u8(h ? uint32_t(25 + h->semi) : 0).u8(h ? 1 : 0).u8(speed ? 0xFF : 0);
                o.u8(speed).u8(speed);
                row++;
                continue;
            }
            int run = 0;
            while (row + run < 64 && !HitAt(row + run, ch))
                run++;
            o.u8(0xFC).u8(uint32_t(run)).zeros(5);
            row += run;
        }
    o.bytes(Signed8());
    return o.b;
}

// ---- Scream Tracker 2 ----

// 48-byte header ("!Scream!", 0x1A, type 2, speed in the high nibble of
// the tempo byte), 31 sample headers of 32 bytes (data paragraph at 14,
// loop end 0xFFFF = none), 128 orders, 64-row 4-channel patterns of 4-byte
// cells: note (octave, semitone; 0xFF empty), instrument in the top 5 bits
// with the volume (65 = none) spread over the next 7, command, parameter.
Bytes Stm()
{
    Out o;
    o.text("nuvex stm", 20).tag("!Scream!").u8(0x1A).u8(2).u8(2).u8(21).u8(0x30).u8(1).u8(64);
    o.zeros(13);
    size_t smp = o.size();
    o.text("sine.raw", 12).u8(0).u8(0).le16(0).le16(256).le16(0).le16(256).u8(64).u8(0);
    o.le16(C2Spd).zeros(6);
    for (int i = 1; i < 31; i++)
        o.zeros(20).le16(0xFFFF).zeros(10);
    o.u8(0).fill(127, 0xFF);
    for (int row = 0; row < 64; row++)
        for (int ch = 0; ch < 4; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(Oct(24 + h->semi)).u8(1 << 3 | 1).u8(0x80).u8(0);
            else
                o.u8(0xFF).u8(0x01).u8(0x80).u8(0);
    o.align(16);
    o.setLE16(smp + 14, uint32_t(o.size() / 16));
    o.bytes(Signed8());
    return o.b;
}

// ---- Farandole Composer ----

// 98-byte header (header length at 47 counts from the start: 869 with no
// song text), then 256 orders, pattern count, song length, loop order and
// 256 pattern sizes; each pattern: break row, tempo, then 16-channel rows
// of 4-byte cells (note, 0-based sample, volume, effect). Then an 8-byte
// map of the samples present, and per sample a 48-byte header and signed
// data.
Bytes Far()
{
    Out o;
    o.tag("FAR\xFE").text("nuvex far", 40).u8(13).u8(10).u8(26).le16(869).u8(0x10);
    o.fill(16, 1).zeros(9).u8(4).fill(16, 8).zeros(4).le16(0);
    o.u8(0).fill(255, 0xFF).u8(1).u8(1).u8(0).le16(2 + 16 * 64).zeros(255 * 2);
    o.u8(15).u8(4);
    for (int row = 0; row < 16; row++)
        for (int ch = 0; ch < 16; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(uint32_t(13 + h->semi)).u8(0).u8(0).u8(0);
            else
                o.zeros(4);
    o.u8(1).zeros(7);
    o.text("sine", 32).le32(256).u8(0).u8(15).le32(0).le32(256).u8(0).u8(8);
    o.bytes(Signed8());
    return o.b;
}

// ---- DSMI Advanced Module Format ----

// "AMF" version 14: 41-byte header, 32 signed pans, tempo and speed, per
// order its row count and one track number per channel; 65-byte sample
// headers (type, names, the sample's 1-based place in the data, length,
// rate, volume, loop); a track map (track number -> stored track, 1-based);
// tracks of 3-byte events (row, command, argument: a command below 0x7F is
// a note with its volume, 0x80 sets the 0-based instrument); unsigned data.
// The reader wants 2 KiB at least.
Bytes Amf()
{
    const uint32_t frames = 1856;
    Out o;
    o.tag("AMF").u8(14).text("nuvex amf", 32).u8(1).u8(1).le16(2).u8(4);
    o.fill(32, 0).u8(125).u8(3);
    o.le16(16).le16(1).le16(2).le16(0).le16(0);
    o.u8(1).text("sine", 32).text("sine.raw", 13).le32(1).le32(frames).le16(C2Spd).u8(64);
    o.le32(0).le32(frames);
    o.le16(1).le16(2);
    for (int ch = 0; ch < 2; ch++) {
        Out events;
        for (const Hit &h : Phrase)
            if (h.channel == ch) {
                events.u8(uint32_t(h.row)).u8(0x80).u8(0);
                events.u8(uint32_t(h.row)).u8(uint32_t(60 + h.semi)).u8(64);
            }
        o.le16(uint32_t(events.size() / 3)).u8(0).bytes(events.b);
    }
    o.bytes(Unsigned8(frames));
    return o.b;
}

// ASYLUM Music Format: 32-byte signature, speed, tempo, counts, 256
// orders, 64 sample headers of 37 bytes, 8-channel 64-row patterns of
// 4-byte cells (note, sample, effect, parameter), signed data. The reader
// takes nothing of 4 KiB or less, which the fixed tables already exceed.
Bytes Asylum()
{
    Out o;
    o.text("ASYLUM Music Format V1.0", 32).u8(3).u8(125).u8(1).u8(1).u8(1).u8(0).zeros(256);
    o.text("sine", 22).u8(0).u8(64).u8(0).le32(256).le32(0).le32(256).zeros(63 * 37);
    for (int row = 0; row < 64; row++)
        for (int ch = 0; ch < 8; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(uint32_t(48 + h->semi)).u8(1).u8(row ? 0 : 0x0F).u8(row ? 0 : 3);
            else
                o.zeros(4);
    o.bytes(Signed8());
    return o.b;
}

// ---- DSIK ----

// RIFF "DSMF": a "SONG" chunk (192 bytes: name, counts, speed, tempo, 16
// pans, 128 orders), "PATT" chunks (rows of events: a byte with the
// channel in the low nibble and 0x80 note, 0x40 instrument, ...; zero ends
// a row), "INST" chunks (64-byte header: flag 1 loops, 2 signed data; then
// the data). The reader wants 1 KiB at least and
// skips a chunk that ends the file, so an empty JUNK chunk closes it.
Bytes Dsm()
{
    const size_t frames = 768;
    Out o;
    o.tag("RIFF").zeros(4).tag("DSMFSONG").le32(192);
    o.text("nuvex dsm", 28).zeros(8).le16(1).le16(1).le16(1).le16(4).u8(64).u8(0x80).u8(3);
    o.u8(125).fill(16, 0x40).u8(0).fill(127, 0xFF);
    Out rows;
    for (int row = 0; row < 64; row++) {
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                rows.u8(0xC0 | uint32_t(ch)).u8(uint32_t(49 + h->semi)).u8(1);
        rows.u8(0);
    }
    o.tag("PATT").le32(uint32_t(rows.size())).bytes(rows.b);
    o.tag("INST").le32(uint32_t(64 + frames)).text("sine.raw", 13).u8(3).u8(0).u8(64);
    o.le32(frames).le32(0).le32(frames).le32(0).le16(C2Spd).le16(0).text("sine", 28);
    o.bytes(Signed8(frames)).tag("JUNK").le32(0);
    o.setLE32(4, uint32_t(o.size() - 8));
    return o.b;
}

// ---- Oktalyzer ----

// "OKTASONG", then big-endian chunks: CMOD (4 words: 1 = a split
// channel), SAMP (32 bytes a sample: name, length, loop start and length
// in words, volume), SPEE, SLEN (patterns), PLEN (orders), PATT (128
// orders), one PBOD per pattern (rows, then 4-byte cells: note 1-36,
// 0-based sample, effect, parameter) and one SBOD per sample. The reader
// wants 1 KiB at least.
Bytes Okt()
{
    const uint32_t frames = 768;
    Out o;
    o.tag("OKTASONG").tag("CMOD").be32(8).zeros(8);
    o.tag("SAMP").be32(32).text("sine", 20).be32(frames).be16(0).be16(frames / 2).u8(0).u8(64);
    o.zeros(2);
    o.tag("SPEE").be32(2).be16(3).tag("SLEN").be32(2).be16(1).tag("PLEN").be32(2).be16(1);
    o.tag("PATT").be32(128).zeros(128);
    o.tag("PBOD").be32(2 + 16 * 16).be16(16);
    for (int row = 0; row < 16; row++)
        for (int ch = 0; ch < 4; ch++)
            if (const Hit *h = HitAt(row, ch))
                o.u8(uint32_t(13 + h->semi)).u8(0).u8(0).u8(0);
            else
                o.zeros(4);
    o.tag("SBOD").be32(frames).bytes(Signed8(frames));
    return o.b;
}

// ---- PolyTracker ----

// 608-byte header ("PTMF" at 44, orders at 96, pattern paragraph pointers
// at 352), 80-byte sample headers (type 1 = sample, 4 = loop; absolute
// data offset), S3M-like packed patterns (channel byte: 0x20 note and
// instrument, 0x40 command and parameter, 0x80 volume), delta-coded data.
Bytes Ptm()
{
    const size_t frames = 256;
    Out o;
    o.text("nuvex ptm", 28).u8(0x1A).le16(0x0203).u8(0).le16(1).le16(1).le16(1).le16(4);
    o.zeros(4).tag("PTMF").zeros(16).fill(32, 8).u8(0).fill(255, 0xFF).zeros(256);
    size_t smp = o.size();
    o.u8(5).text("sine.raw", 12).u8(64).le16(C2Spd).le16(0).le32(0).le32(frames).le32(0);
    o.le32(frames).zeros(14).text("sine", 28).tag("PTMS");
    o.align(16);
    o.setLE16(352, uint32_t(o.size() / 16));
    for (int row = 0; row < 64; row++) {
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch)) {
                o.u8((row == 0 && ch == 0 ? 0x60 : 0x20) | uint32_t(ch));
                o.u8(uint32_t(49 + h->semi)).u8(1);
                if (row == 0 && ch == 0)
                    o.u8(0x0F).u8(3);
            }
        o.u8(0);
    }
    o.setLE32(smp + 18, uint32_t(o.size()));
    o.bytes(Delta8(frames));
    return o.b;
}

// ---- Digitrakker ----

// "DMDL" and a version byte, then blocks of a 2-byte id and a 32-bit
// length: IN (names, order count, speed, tempo, 32 channel bytes: pan, 0x80
// = off; orders), PA (per pattern, in a version 0.0 file: 32 track numbers,
// 64 rows), TR (track count, then each track's length and bytes: low 2 bits
// 3 = a new event whose flags say note (0x04) and instrument (0x08) follow,
// 0 = skip rows), II (instruments: which sample up to which note), IS
// (57-byte sample entries with a 16-bit rate in version 0.0), SA (raw
// signed data). Wants 1 KiB at least.
//
// Loads but plays silence: libmodplug 0.8.9 unpacks tracks only when the
// file's first word ("DM", 19780) plus the track block's offset is less
// than what follows that offset, so only in files over about 20 KB. Version
// 0.0 because for later versions it also takes the track numbers from the
// pattern header's first bytes.
Bytes Mdl()
{
    const size_t frames = 768;
    Out o;
    o.tag("DMDL").u8(0);
    o.tag("IN").le32(92).text("nuvex mdl", 32).text("nuvex", 20).le16(1).le16(0);
    o.u8(255).u8(3).u8(125).fill(2, 64).fill(30, 0x80).u8(0);
    o.tag("PA").le32(1 + 64).u8(1).le16(1).le16(2).zeros(60);
    Out tracks;
    tracks.le16(2);
    for (int ch = 0; ch < 2; ch++) {
        Out t;
        for (int row = 0; row < 16;) {
            if (const Hit *h = HitAt(row, ch)) {
                t.u8(0x0F).u8(uint32_t(49 + h->semi)).u8(1);
                row++;
                continue;
            }
            int run = 0;
            while (row + run < 16 && !HitAt(row + run, ch))
                run++;
            t.u8(uint32_t(run - 1) << 2);
            row += run;
        }
        tracks.le16(uint32_t(t.size())).bytes(t.b);
    }
    o.tag("TR").le32(uint32_t(tracks.size())).bytes(tracks.b);
    o.tag("II").le32(1 + 34 + 14).u8(1).u8(1).u8(1).text("sine", 32);
    o.u8(1).u8(119).u8(255).u8(0).u8(128).u8(0).le16(0).zeros(6);
    o.tag("IS").le32(1 + 57).u8(1).u8(1).text("sine", 32).text("sine.raw", 8).le16(C2Spd);
    o.le32(frames).le32(0).le32(frames).u8(255).u8(0);
    o.tag("SA").le32(frames).bytes(Signed8(frames));
    return o.b;
}

// ---- DigiBooster Pro ----

// "DBM0", version, then big-endian chunks in this order: NAME (44), INFO
// (instruments, samples, songs, patterns, channels), SONG (name, order
// count, orders as words), INST (50 bytes each: sample number, volume,
// rate, loop, flag 1 loops), PATT (rows, packed size, then per event a
// 1-based channel byte and a mask: 1 note as octave/semitone, 2
// instrument, 4/8 command/parameter; zero ends a row), SMPL (flags 1 =
// 8-bit, length, data).
Bytes Dbm()
{
    Out o;
    o.tag("DBM0").u8(2).u8(0).zeros(2).tag("NAME").be32(44).text("nuvex dbm", 44);
    o.tag("INFO").be32(10).be16(1).be16(1).be16(1).be16(1).be16(4);
    o.tag("SONG").be32(44 + 2 + 2).text("nuvex dbm", 44).be16(1).be16(0);
    o.tag("INST").be32(50).text("sine", 30).be16(1).be16(64).be32(C2Spd).be32(0).be32(256);
    o.be16(0).be16(1);
    Out rows;
    for (int row = 0; row < 16; row++) {
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch)) {
                bool speed = row == 0 && ch == 0;
                rows.u8(uint32_t(ch + 1)).u8(speed ? 0x0F : 0x03).u8(Oct(48 + h->semi)).u8(1);
                if (speed)
                    rows.u8(0x0F).u8(3);
            }
        rows.u8(0);
    }
    o.tag("PATT").be32(uint32_t(6 + rows.size())).be16(16).be32(uint32_t(rows.size()));
    o.bytes(rows.b);
    o.tag("SMPL").be32(8 + 256).be32(1).be32(256).bytes(Signed8());
    return o.b;
}

// ---- Epic MegaGames MASI ----

// "PSM ", the size of all after "FILE", "FILE", then chunks: TITL, SDFT,
// SONG ("MAINSONG", channels, sub-chunks; OPLH lists 5-byte records: a
// speed/tempo record, then one per order naming its pattern), DSMP (96-byte
// header: flag 0x80 loops, lengths, volume, rate; delta-coded data), PBOD
// (size, 4-byte name, rows; each row a 16-bit size counting itself, then
// events: flags, channel, 0x80 note as octave/semitone, 0x40 0-based
// sample). The reader wants 256 bytes at least, and stops reading a
// pattern 3 bytes before its end, so a few zeros close it.
Bytes Psm()
{
    Out o;
    o.tag("PSM ").zeros(4).tag("FILE");
    o.tag("TITL").le32(10).text("nuvex psm", 10).tag("SDFT").le32(8).tag("MAINSONG");
    Out oplh;
    oplh.zeros(19).u8(0x07).u8(3).u8(0x08).u8(125).u8(0x01).text("P0", 4).zeros(4);
    o.tag("SONG").le32(uint32_t(11 + 8 + oplh.size())).tag("MAINSONG").u8(0).u8(0).u8(4);
    o.tag("OPLH").le32(uint32_t(oplh.size())).bytes(oplh.b);
    o.tag("DSMP").le32(96 + 256).u8(0x80).tag("MAINSONG").text("S0", 4).text("sine", 34);
    o.zeros(4).u8(0).u8(0).u8(0).le32(256).le32(0).le32(256).zeros(2).u8(127).zeros(4);
    o.le32(C2Spd).zeros(19).bytes(Delta8());
    Out rows;
    for (int row = 0; row < 64; row++) {
        Out events;
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                events.u8(0xC0).u8(uint32_t(ch)).u8(Oct(48 + h->semi)).u8(0);
        if (events.b.empty())
            events.u8(0).u8(0);
        rows.le16(uint32_t(2 + events.size())).bytes(events.b);
    }
    rows.zeros(4);
    o.tag("PBOD").le32(uint32_t(10 + rows.size())).le32(uint32_t(10 + rows.size()));
    o.text("P0", 4).le16(64).bytes(rows.b);
    o.setLE32(4, uint32_t(o.size() - 12));
    return o.b;
}

// ---- Unreal package ----

// Unreal's compact index: sign and 6 bits, then 7 bits a byte.
void Compact(Out &o, uint32_t v)
{
    o.u8((v & 0x3F) | (v > 0x3F ? 0x40 : 0));
    for (v >>= 6; v; v >>= 7)
        o.u8((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
}

// A package holding one Music object whose data is the S3M image. Header:
// tag 0x9E2A83C1, version, flags, then count and offset of the names,
// exports and imports; the object (no properties, its format's name, its
// size, the module), then the name, export and import tables. The reader
// wants 2 KiB at least, and reports the type of the module inside.
Bytes Umx()
{
    Bytes song = S3m(1664);
    Out o;
    o.le32(0x9E2A83C1).le16(61).le16(0).le32(1).le32(6).zeros(4).le32(1).zeros(4).le32(1);
    o.zeros(4).zeros(16).le32(1).le32(1).le32(6);
    size_t object = o.size();
    o.u8(0);
    Compact(o, 5); // format name: "s3m"
    Compact(o, uint32_t(song.size()));
    size_t serial = o.size() - object + song.size();
    o.bytes(song);
    o.setLE32(0x10, uint32_t(o.size()));
    for (const char *name : {"None", "Music", "Core", "Class", "song", "s3m"})
        o.text(name, std::char_traits<char>::length(name) + 1).le32(0x04070010);
    o.setLE32(0x18, uint32_t(o.size()));
    // Class (the import, -1), no super class, no package, name, flags,
    // size and offset of the serialized object.
    o.u8(0x81).u8(0).le32(0).u8(4).le32(0x00070004);
    Compact(o, uint32_t(serial));
    Compact(o, uint32_t(object));
    o.setLE32(0x20, uint32_t(o.size()));
    o.u8(2).u8(3).le32(0).u8(1); // Core.Class Music
    return o.b;
}

// ---- ABC text tune ----

// A header whose last field is the key (K:), then the tune.
Bytes Abc()
{
    std::string tune = "X:1\nT:nuvex abc\nM:4/4\nL:1/8\nQ:1/4=240\nK:C\n"
                       "CEGc cGEC|D2F2 A2d2|c8|]\n";
    return Bytes(tune.begin(), tune.end());
}

// ---- Gravis UltraSound patch ----

// "GF1PATCH110" and "ID#000002" headers (129 bytes), one instrument (63),
// one layer (47), one 96-byte wave header (length, loop, rate, frequency
// range and root in millihertz, envelope, mode 4 = looped 8-bit signed),
// then the data.
Bytes Pat()
{
    Out o;
    o.text("GF1PATCH110", 12).text("ID#000002", 10).text("nuvex sine", 60).u8(1).u8(14).u8(0);
    o.le16(1).le16(127).le32(256).zeros(36);
    o.le16(0).text("sine", 16).le32(256 + 96).u8(1).zeros(40);
    o.u8(0).u8(0).le32(256 + 96).u8(1).zeros(40);
    o.text("sine", 7).u8(0).le32(256).le32(0).le32(256).le16(C2Spd);
    o.le32(8176).le32(12543853).le32(261626).le16(0).u8(7);
    o.fill(6, 63).u8(250).u8(250).u8(250).u8(250).u8(0).u8(0).zeros(6).u8(4).le16(60);
    o.le16(1024).zeros(36).bytes(Signed8());
    return o.b;
}

// ---- Extreme's Tracker ----

// Samples are always packed: a delta step stored as sign and magnitude,
// then bit planes (bit 7 of every byte first, eight bits to a byte, each
// plane's bits taken from one bit lower at the start of its bytes), then
// run-length coding with an escape byte (escape, 0 = the escape itself).
// Lengths a multiple of 8.
Bytes AmsPack(const std::vector<int8_t> &pcm)
{
    size_t n = pcm.size();
    Bytes delta(n), planes(n, 0);
    int8_t old = 0;
    for (size_t i = 0; i < n; i++) {
        int d = int8_t(old - pcm[i]);
        delta[i] = uint8_t(d >= 0 ? d : d == -128 ? 128 : 0x80 | -d);
        old = pcm[i];
    }
    for (unsigned plane = 0; plane < 8; plane++)
        for (size_t k = 0; k < n; k++) {
            size_t step = plane * n + k;
            if (delta[k] >> (7 - plane) & 1)
                planes[step / 8] |= uint8_t(1 << ((7 - plane - step % 8) & 7));
        }
    const uint8_t escape = 0xE5;
    Out o;
    o.zeros(8).u8(escape);
    for (uint8_t v : planes)
        if (v == escape)
            o.u8(escape).u8(0);
        else
            o.u8(v);
    o.setLE32(0, uint32_t(n));
    o.setLE32(4, uint32_t(o.size() - 9));
    return o.b;
}

// "Extreme", version 1.x, channels-1, counts, then 17-byte sample headers,
// length-prefixed names (song, samples, channels, patterns), a comment
// length, orders as words, then patterns (32-bit length; events of a
// channel byte (0x80 ends the row, 0x40 = no note), note (0x80: a command
// follows), instrument, then command and parameter), then packed samples.
// The reader wants 1 KiB at least.
Bytes Ams()
{
    const uint32_t frames = 768;
    Out o;
    o.tag("Extreme").u8(0x30).u8(1).u8(1).u8(1).le16(1).le16(1).u8(0).le16(0);
    o.le32(frames).le32(0).le32(frames).u8(0x80).le16(C2Spd).u8(127).u8(0);
    o.u8(9).tag("nuvex ams").u8(4).tag("sine").u8(0).u8(0).u8(0).le16(0).le16(0);
    Out cells;
    for (int row = 0; row < 64; row++) {
        std::vector<const Hit *> hits;
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                hits.push_back(h);
        if (hits.empty())
            cells.u8(0x80).u8(0).u8(0);
        for (size_t i = 0; i < hits.size(); i++) {
            bool speed = row == 0 && i == 0, last = i + 1 == hits.size();
            cells.u8(uint32_t(hits[i]->channel) | (last ? 0x80 : 0));
            cells.u8(uint32_t(36 + hits[i]->semi) | (speed ? 0x80 : 0)).u8(1);
            if (speed)
                cells.u8(0x0F).u8(3);
        }
    }
    o.le32(uint32_t(cells.size())).bytes(cells.b);
    o.bytes(AmsPack(Sine(frames)));
    return o.b;
}

// Velvet Studio: "AMShdr", 0x1A, a length-prefixed title, a 15-byte song
// header (version 2.x, counts, tempo in the high byte of a word, speed),
// per instrument a name, its sample count, a 120-entry note-to-sample map,
// three envelopes (5 bytes and 3 a point), 5 bytes of fade-out and flags,
// then per sample a name and 20 bytes (length, loop, rate, volume, flags: 8
// loops, low 2 bits 0 = not packed). Then a composer, 32 channel names, the
// packed comment's length (counting itself), orders as words, per pattern
// its size, rows-1, channels and commands, a name and events like the ones
// above (note+1), and the sample data. The reader wants 1 KiB past the
// first instrument.
Bytes VelvetAms()
{
    const uint32_t frames = 1024;
    Out o;
    o.tag("AMShdr").u8(0x1A).u8(9).tag("nuvex ams");
    o.le16(0x0202).u8(1).le16(1).le16(1).le16(125 << 8).u8(3).u8(1).u8(0).u8(15).le16(0x40);
    o.u8(4).tag("sine").u8(1).zeros(120).zeros(3 * 5).zeros(5);
    o.u8(4).tag("sine").le32(frames).le32(0).le32(frames).le16(C2Spd).u8(0).le16(C2Spd);
    o.u8(0).u8(255).u8(8);
    o.u8(0).zeros(32).le32(4).le16(0);
    Out cells;
    for (int row = 0; row < 16; row++) {
        std::vector<const Hit *> hits;
        for (int ch = 0; ch < 2; ch++)
            if (const Hit *h = HitAt(row, ch))
                hits.push_back(h);
        if (hits.empty())
            cells.u8(0xC0);
        for (size_t i = 0; i < hits.size(); i++) {
            cells.u8(uint32_t(hits[i]->channel) | (i + 1 == hits.size() ? 0x80 : 0));
            cells.u8(uint32_t(62 + hits[i]->semi)).u8(1);
        }
    }
    o.le32(uint32_t(3 + cells.size())).u8(15).u8(1).u8(0).bytes(cells.b);
    o.bytes(Signed8(frames));
    return o.b;
}

// ---- X-Tracker ----

// "DDMF", version, tracker, song and composer names, date (66 bytes), then
// chunks: SEQU (size counts loop start and end and the orders), PATT
// (count, channels; per pattern: tracks, beat, rows, data size, then per
// row a global byte and one byte per track: 0x80 a count of rows to skip
// follows, 0x40 instrument, 0x20 note), SMPI (per sample a name length and
// name, 16 bytes of sizes, rate, volume and flags, and 14 more), SMPD
// (size and raw data per sample), ENDE. Wants 1 KiB at least.
Bytes Dmf()
{
    const size_t frames = 1024;
    Out o;
    o.tag("DDMF").u8(8).text("XTRACKER", 8).text("nuvex dmf", 30).text("nuvex", 20).zeros(3);
    o.tag("SEQU").le32(4 + 2 * 3).le16(0).le16(0).le16(0).le16(0xFF).le16(0xFF);
    Out rows;
    for (int row = 0; row < 16; row++) {
        if (row == 0)
            rows.u8(0x80).u8(15); // no global events in the whole pattern
        for (int ch = 0; ch < 4; ch++) {
            const Hit *h = HitAt(row, ch);
            if (!h && row != 0)
                continue; // covered by the count before
            int rest = 1;
            while (row + rest < 16 && !HitAt(row + rest, ch))
                rest++;
            rows.u8(0x80 | (h ? 0x60 : 0)).u8(uint32_t(rest - 1));
            if (h)
                rows.u8(1).u8(uint32_t(37 + h->semi));
        }
    }
    o.tag("PATT").le32(uint32_t(3 + 8 + rows.size())).le16(1).u8(4);
    o.u8(4).u8(0).le16(16).le32(uint32_t(rows.size())).bytes(rows.b);
    o.tag("SMPI").le32(uint32_t(1 + 1 + 4 + 16 + 14)).u8(1).u8(4).tag("sine");
    o.le32(frames).le32(0).le32(frames).le16(C2Spd).u8(255).u8(1).zeros(14);
    o.tag("SMPD").le32(uint32_t(4 + frames)).le32(frames).bytes(Signed8(frames)).tag("ENDE");
    return o.b;
}

} // namespace

std::vector<NamedImage> ModuleSeeds()
{
    return {
        {"song-15.mod", SoundTracker()},
        {"song.mod", ProTracker()},
        {"song-6ch.mod", MultiChannelMod(6)},
        {"song-8ch.mod", MultiChannelMod(8)},
        {"song.s3m", S3m()},
        {"song.xm", Xm()},
        {"song.it", It()},
        {"song-mmd0.med", Med(0)},
        {"song-mmd1.med", Med(1)},
        {"song.669", Composer669()},
        {"song.mtm", Mtm()},
        {"song.ult", Ult()},
        {"song.stm", Stm()},
        {"song.far", Far()},
        {"song.amf", Amf()},
        {"song-asylum.amf", Asylum()},
        {"song.dsm", Dsm()},
        {"song.okt", Okt()},
        {"song.ptm", Ptm()},
        {"song.mdl", Mdl()},
        {"song.dbm", Dbm()},
        {"song.psm", Psm()},
        {"song.umx", Umx()},
        {"song.abc", Abc()},
        {"song.pat", Pat()},
        {"song.ams", Ams()},
        {"song-velvet.ams", VelvetAms()},
        {"song.dmf", Dmf()},
    };
}

} // namespace nvmedia
