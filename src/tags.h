// What a sound file says about itself besides its samples: its tags (title,
// artist, ...) and the loop its composer wrote into it. Decoders fill these
// in when a stream is made; the text helpers here turn every encoding the
// formats use into valid UTF-8.
#pragma once

#include "core.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// The names every format's tags are mapped to, so that one name finds the
// title of a Vorbis comment, an ID3 frame, a RIFF INFO entry or an AIFF
// chunk alike.
namespace tagname {
constexpr const char *Title = "TITLE";
constexpr const char *Artist = "ARTIST";
constexpr const char *Album = "ALBUM";
constexpr const char *Date = "DATE";
constexpr const char *TrackNumber = "TRACKNUMBER";
constexpr const char *Genre = "GENRE";
constexpr const char *Comment = "COMMENT";
constexpr const char *Copyright = "COPYRIGHT";
} // namespace tagname

class SoundTags {
public:
    // Names compare without regard to ASCII case; a name's first value is
    // the one kept (a Vorbis comment may repeat one). The value is made
    // valid UTF-8 and ends at its first NUL, if any. Past MaxNames names
    // the rest are dropped: a comment block of a few megabytes can name
    // millions, and real files name a few dozen.
    static constexpr size_t MaxNames = 4096;
    void Add(const std::string &name, const std::string &value);
    // The value, or null when the file has no such tag.
    const char *Find(const char *name) const;
    bool Empty() const { return entries.empty(); }
    const std::vector<std::pair<std::string, std::string>> &All() const { return entries; }

private:
    std::vector<std::pair<std::string, std::string>> entries;
    // Each entry's name (upper case) to its place: looking a name up by
    // comparing it with every entry made a file of many names slow.
    std::unordered_map<std::string, size_t> places;
};

// ---- Text -------------------------------------------------------------------

// `length` bytes of supposed UTF-8 with every byte that does not begin a
// well-formed character replaced by U+FFFD; stops at a NUL.
std::string ValidUtf8(const char *text, size_t length);
std::string Latin1ToUtf8(const char *text, size_t length);
// Text of formats that name no encoding (RIFF INFO, AIFF, MIDI): taken as
// UTF-8 when it is valid UTF-8, else as Latin-1.
std::string LegacyTextToUtf8(const char *text, size_t length);

// One entry of a RIFF INFO list (INAM, IART, ...), under its common name;
// entries without one are left out.
void AddRiffInfo(SoundTags &tags, const char id[4], const char *text, size_t length);

// ---- Vorbis comments ----------------------------------------------------------

// One "NAME=value" comment.
void AddVorbisComment(SoundTags &tags, const char *comment, size_t length);
// A whole comment header body as Ogg Vorbis (after "\x03vorbis"), Ogg Opus
// (after "OpusTags") and FLAC (the VORBIS_COMMENT block) store it: vendor
// string, count, then the comments, all lengths 32-bit little-endian. A
// block cut short keeps the comments read before the cut.
void ParseVorbisCommentBlock(SoundTags &tags, const unsigned char *data, size_t size);

// ---- Loop points ------------------------------------------------------------------

// A loop in frames from where a rewind returns to; `end` is exclusive (the
// first frame after the body), 0 meaning the end of the stream. Start and
// end both 0: no loop.
struct LoopPoints {
    nuvexUInt64 start = 0;
    nuvexUInt64 end = 0;
    bool Present() const { return start != 0 || end != 0; }
};

// A loop tag's value: whole frames ("44100"), or a time
// "[[hh:]mm:]ss[.fff]" at `rate` frames a second. False for anything else
// (signs, garbage, values past 2^62).
bool ParseLoopValue(const char *text, ALuint rate, nuvexUInt64 *frames);
// The loop named by LOOPSTART with LOOPEND or LOOPLENGTH (also spelled
// LOOP_START, LOOP_END, LOOP_LENGTH; any case). None when the start is
// missing or any of them does not parse; a start alone loops to the end.
LoopPoints LoopFromTags(const SoundTags &tags, ALuint rate);
