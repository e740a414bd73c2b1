// Writers for small, valid media images (WAV, AIFF, Ogg Vorbis, 4-channel
// tracker modules), built in memory byte by byte. Used by the tests, the
// benchmarks and the demo tools, so that every sound they need is generated
// rather than shipped.
//
// Samples are always interleaved signed 16-bit, in the channel order the
// target format stores (for Ogg Vorbis that is the Vorbis order: front left,
// center, front right, ...).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nvmedia {

using Bytes = std::vector<uint8_t>;

// Appends a 16- or 32-bit little- or big-endian value (the low bits of `v`).
void PutLE16(Bytes &out, uint32_t v);
void PutLE32(Bytes &out, uint32_t v);
void PutBE16(Bytes &out, uint32_t v);
void PutBE32(Bytes &out, uint32_t v);

// ---- Signals ----------------------------------------------------------------

// One sine tone per channel (`freqs.size()` channels), amplitude in 16-bit
// units. A frequency of 0 gives a constant `amplitude` on that channel.
std::vector<int16_t> Tones16(size_t frames, uint32_t rate, const std::vector<double> &freqs,
                             double amplitude);

// ---- WAV ----------------------------------------------------------------------

// One chunk of a RIFF or AIFF image. `declared` overrides the length field
// (a truncated or "unknown" length); `pad` adds the zero byte after an odd body.
struct Chunk {
    std::string tag; // four characters
    Bytes body;
    bool pad = true;
    int64_t declared = -1;
};

// "RIFF" <size> "WAVE" followed by the chunks in order.
Bytes WriteRiff(const std::vector<Chunk> &chunks);

// A RIFF, RIFX or FORM (AIFF) image with `chunks` appended and the size in
// its header grown to match: for chunks the writer of the image leaves out.
Bytes WithChunks(Bytes image, const std::vector<Chunk> &chunks);

// A "fmt " body: the 16 basic bytes, then (when `cbSize` >= 0) the
// extra-size field holding `cbSize` and `extra`.
Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits,
              int cbSize = -1, const Bytes &extra = {});

// "fmt " (with `extra` after an extra-size field when not empty) then "data".
Bytes WriteWav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t blockAlign,
               const Bytes &data, const Bytes &extra = {});

// A "smpl" chunk holding `loops` (type, start, end; the end inclusive, as
// the chunk stores it), its loop count field `declared` when given.
Chunk Smpl(const std::vector<std::array<uint32_t, 3>> &loops, uint32_t declared = ~0u);

// A "LIST" chunk of type "INFO": each entry's four-character id and its
// bytes as given (no terminating zero added), padded to even lengths.
Chunk InfoList(const std::vector<std::pair<std::string, std::string>> &entries);

// A plain 16-bit PCM RIFF/WAVE image ("fmt " of 16 bytes, then "data").
Bytes WriteWav16(const std::vector<int16_t> &samples, int channels, uint32_t rate);

// Little-endian bytes of 16-bit samples.
Bytes LE16Bytes(const std::vector<int16_t> &samples);

// G.711 mu-law, as WAV files store it.
uint8_t MulawEncode(int16_t sample);

// IMA ADPCM in 36-byte-per-channel blocks of 65 frames, laid out as WAV files
// and OpenAL's IMA4 formats store them; the input must be whole blocks.
Bytes ImaEncode(const std::vector<int16_t> &interleaved, int channels);

// ---- Standard MIDI Files -------------------------------------------------------

// "MThd" (format, track count, ticks per quarter note) then one "MTrk" per
// track; each track is its raw delta-time and event bytes, end of track
// included, so that tests can write any shape real files have.
Bytes WriteMidi(uint16_t format, uint16_t division, const std::vector<Bytes> &tracks);

// One event of a track at an absolute tick: a channel message (status and
// data bytes), or a meta event (0xFF, type, length, body).
struct MidiEvent {
    uint32_t tick;
    Bytes message;
};

// A track's raw bytes for WriteMidi: the events in tick order (stable),
// delta times, then an end of track at `endTick` (at the last event when
// earlier). With `runningStatus` a status byte equal to the last channel
// status is left out, even right after a meta event, as some files do.
Bytes MidiTrack(std::vector<MidiEvent> events, bool runningStatus = false, uint32_t endTick = 0);

// A set-tempo meta event of `microsPerQuarter`.
MidiEvent MidiTempo(uint32_t tick, uint32_t microsPerQuarter);

// A text meta event of `type` (2 copyright, 3 track name, 6 marker, ...)
// holding `text`'s bytes as they are.
MidiEvent MidiText(uint32_t tick, uint8_t type, const std::string &text);

// ---- SoundFonts ---------------------------------------------------------------

// A SoundFont 2 image with one preset (bank 0, program 0) of one instrument
// playing one looped sample: `periods` periods of a sine (or a square) of
// `periodFrames` frames at `rate`, tuned so that `rootKey` plays it at its
// own pitch. Envelopes are the format's defaults (a millisecond's attack and
// release), so notes start and stop sharply.
struct SoundFontSpec {
    uint32_t rate = 44000;
    uint32_t periodFrames = 100; // 440 Hz at 44000 Hz
    uint32_t periods = 40;
    uint8_t rootKey = 69;
    bool square = false;
    int16_t amplitude = 20000;
};
Bytes WriteSoundFont(const SoundFontSpec &font = {});

struct NamedImage;
// Seeds for the fuzzers: MIDI files of every shape the decoder reads (format
// 0 and 1, every channel message, running status also after meta and
// system exclusive events, tempo changes, time code, RIFF-MIDI), a second
// or two long; and a few SoundFonts of the kind above.
std::vector<NamedImage> MidiSeeds();
std::vector<NamedImage> SoundFontSeeds();

// ---- AIFF ---------------------------------------------------------------------

using AiffChunk = Chunk;

struct AiffOptions {
    // Bytes of filler between the SSND header fields and the sound (the
    // chunk's offset field says how many).
    uint32_t ssndOffset = 0;
    // Write SSND before COMM.
    bool ssndFirst = false;
    // The form type; "AIFC" makes an AIFF-C header (the body stays AIFF).
    std::string formType = "AIFF";
    // Extra chunks written after the FORM header, before COMM and SSND,
    // and after both.
    std::vector<AiffChunk> leadingChunks;
    std::vector<AiffChunk> trailingChunks;
    // Odd chunk bodies get their zero pad byte (set false for writers that
    // forget it).
    bool padOddChunks = true;
};

// A MARK chunk of markers (id, position in frames), each named by as many
// letters as its place in the list, so that names of odd and even length
// (and so pad bytes) alternate; `count` overrides the number it claims.
AiffChunk AiffMarkers(const std::vector<std::pair<uint16_t, uint32_t>> &markers, int count = -1);
// An INST chunk whose sustain loop (play mode 1: forward, 2: forward and
// backward) runs between two markers; no release loop.
AiffChunk AiffInstrument(uint16_t playMode, uint16_t beginMarker, uint16_t endMarker);

// An AIFF image of `samples` at `bits` per sample (8, 12 or 16). 8-bit data
// keeps the high byte of each sample (signed, as AIFF stores it); 12-bit
// data keeps the top 12 bits, left-justified in two bytes.
Bytes WriteAiff(const std::vector<int16_t> &samples, int channels, uint32_t rate, int bits,
                const AiffOptions &options = {});

// Appends `rate` as the 10-byte 80-bit extended float of the COMM chunk.
void Put80BitRate(Bytes &out, uint32_t rate);

// What a sample becomes once stored at `bits` (8, 12 or 16) and widened back
// to 16 bits: the value an exact decoder delivers.
int16_t QuantizeAiff(int16_t sample, int bits);

// ---- Ogg Vorbis -----------------------------------------------------------------

// "NAME=value" comments, in the order written.
using Comments = std::vector<std::pair<std::string, std::string>>;

// Encodes with libvorbisenc in VBR mode (quality -0.1 to 1.0), with an
// ENCODER comment and then `comments`. The result is deterministic for the
// same arguments. A chained file is the concatenation of images with
// distinct serial numbers.
Bytes EncodeOgg(const std::vector<int16_t> &samples, int channels, uint32_t rate,
                float quality = 0.4f, int serial = 1, const Comments &comments = {});

// ---- Vorbis comments in FLAC and Ogg Opus ---------------------------------------

// A comment block as FLAC's VORBIS_COMMENT block and Opus's comment packet
// (after "OpusTags") hold it: vendor string, count, then the comments, each
// length 32-bit little-endian. Tests cut it short to damage it.
Bytes VorbisCommentBody(const Comments &comments);

// A native FLAC image with `body` as its VORBIS_COMMENT block, in place of
// the one it had, right after STREAMINFO.
Bytes WithFlacComments(const Bytes &flac, const Bytes &body);

// An Ogg Opus image (one logical stream) with "OpusTags" + `body` as its
// comment packet, paged anew; the audio pages keep their bytes but for
// their sequence numbers and checksums.
Bytes WithOpusComments(const Bytes &opus, const Bytes &body);

// ---- Tracker modules --------------------------------------------------------

struct ModNote {
    uint8_t row = 0;     // 0..63
    uint8_t channel = 0; // 0..3
    uint8_t sample = 0;  // 1-based sample number, 0 for none
    uint16_t period = 0; // Amiga period (428 is C-2), 0 for none
    uint8_t effect = 0;
    uint8_t param = 0;
};

struct ModPattern {
    std::vector<ModNote> notes;
};

struct ModSample {
    std::string name;
    std::vector<int8_t> data; // even length, at most 131070 bytes
    uint8_t volume = 64;
    uint8_t finetune = 0;
    uint32_t loopStart = 0;  // bytes, even
    uint32_t loopLength = 0; // bytes, even; 0 or 2 for no loop
};

struct ModSpec {
    std::string title = "nuvex";
    std::vector<ModSample> samples;   // up to 31
    std::vector<ModPattern> patterns; // up to 64
    std::vector<uint8_t> orders;      // 1..128 pattern numbers
};

// A 4-channel "M.K." module image: 20-byte title, 31 sample headers, the
// order list, the tag, 64-row patterns, then the 8-bit sample data.
Bytes WriteMod(const ModSpec &song);

// A ready-made song: `patterns` patterns, each playing its own notes on all
// four channels from two looped samples (a square and a saw wave), played
// in the given order (default: each pattern once). Distinct patterns sound
// distinct, so a position in the song can be told from the output.
ModSpec DemoModule(int patterns = 4, std::vector<uint8_t> orders = {});

struct NamedImage {
    std::string name; // "song.s3m": a file name with the format's usual extension
    Bytes image;
};

// One small image (under 8 KiB) per tracker format libmodplug reads: MOD
// with 15 and 31 samples and with 6 and 8 channels, S3M, XM, IT, MED
// (MMD0, MMD1), 669, MTM, ULT, STM, FAR, AMF (DSMI and ASYLUM), DSM, OKT,
// PTM, MDL, DBM, PSM, UMX (an S3M inside), ABC, PAT, AMS (Extreme's and
// Velvet Studio's) and DMF; no MIDI or RIFF WAVE, which the module decoder
// declines. Each plays a few notes of a looped sine for 1 to 4 seconds,
// except that libmodplug 0.8.9 plays the MDL silent (see modseeds.cpp) and
// makes the PAT a 32-second tune of its own.
std::vector<NamedImage> ModuleSeeds();

} // namespace nvmedia
