// Tags and loop points: the store, the text conversions and the parsing of
// Vorbis comments and loop tags.
#include "tags.h"

#include <algorithm>
#include <cstring>

namespace {
// Names are kept and looked up in upper case (ASCII letters only).
std::string UpperAscii(std::string name)
{
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    });
    return name;
}

// Only Latin-1 characters and U+FFFD are ever written.
void PutUtf8(std::string &out, uint32_t code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | code >> 6);
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | code >> 12);
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

constexpr uint32_t Replacement = 0xFFFD;

// The length of the well-formed UTF-8 character at `s` (at most `left`
// bytes), 0 when none starts there: overlong forms, surrogates and values
// past U+10FFFF are not well-formed.
size_t Utf8CharLength(const unsigned char *s, size_t left)
{
    const unsigned char c = s[0];
    size_t length;
    uint32_t least;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0)
        length = 2, least = 0x80;
    else if ((c & 0xF0) == 0xE0)
        length = 3, least = 0x800;
    else if ((c & 0xF8) == 0xF0)
        length = 4, least = 0x10000;
    else
        return 0;
    if (length > left)
        return 0;
    uint32_t code = c & (0x7F >> length);
    for (size_t i = 1; i < length; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (s[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        return 0;
    return length;
}

uint32_t LE32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string Trimmed(const char *text)
{
    std::string s(text);
    const auto isSpace = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && isSpace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    size_t first = 0;
    while (first < s.size() && isSpace(static_cast<unsigned char>(s[first])))
        first++;
    return s.substr(first);
}

// Digits only, at most 18 of them (so no overflow below 2^62).
bool ParseDigits(const std::string &text, nuvexUInt64 *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    nuvexUInt64 result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + nuvexUInt64(c - '0');
    }
    *value = result;
    return true;
}

// "[[hh:]mm:]ss[.fff]" to frames, rounded to the nearest frame.
bool ParseTime(const std::string &text, ALuint rate, nuvexUInt64 *frames)
{
    std::string whole = text, fraction;
    const size_t dot = text.find('.');
    if (dot != std::string::npos) {
        whole = text.substr(0, dot);
        fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 9)
            return false;
    }
    std::vector<nuvexUInt64> fields;
    size_t from = 0;
    for (;;) {
        const size_t colon = whole.find(':', from);
        nuvexUInt64 field;
        if (!ParseDigits(whole.substr(from, colon - from), &field))
            return false;
        fields.push_back(field);
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    if (fields.size() > 3)
        return false;
    nuvexUInt64 seconds = 0;
    for (size_t i = 0; i < fields.size(); i++) {
        // Minutes and seconds after the first field stay below 60.
        if (i > 0 && fields[i] >= 60)
            return false;
        if (seconds > (nuvexUInt64(1) << 40))
            return false;
        seconds = seconds * 60 + fields[i];
    }
    if (seconds > (nuvexUInt64(1) << 40))
        return false;
    nuvexUInt64 nanos = 0;
    if (!fraction.empty() && !ParseDigits(fraction, &nanos))
        return false;
    for (size_t i = fraction.size(); i < 9; i++)
        nanos *= 10;
    *frames = seconds * rate + (nanos * rate + 500000000) / 1000000000;
    return true;
}

const char *FirstOf(const SoundTags &tags, const char *a, const char *b)
{
    const char *value = tags.Find(a);
    return value ? value : tags.Find(b);
}
} // namespace

void SoundTags::Add(const std::string &name, const std::string &value)
{
    if (entries.size() >= MaxNames)
        return;
    std::string upper = UpperAscii(ValidUtf8(name.data(), name.size()));
    if (upper.empty() || !places.emplace(upper, entries.size()).second)
        return;
    entries.emplace_back(std::move(upper), ValidUtf8(value.data(), value.size()));
}

const char *SoundTags::Find(const char *name) const
{
    const auto place = places.find(UpperAscii(name));
    return place == places.end() ? nullptr : entries[place->second].second.c_str();
}

std::string ValidUtf8(const char *text, size_t length)
{
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length && s[i] != 0;) {
        const size_t step = Utf8CharLength(s + i, length - i);
        if (step == 0) {
            PutUtf8(out, Replacement);
            i++;
        } else {
            out.append(text + i, step);
            i += step;
        }
    }
    return out;
}

std::string Latin1ToUtf8(const char *text, size_t length)
{
    std::string out;
    for (size_t i = 0; i < length && text[i] != 0; i++)
        PutUtf8(out, static_cast<unsigned char>(text[i]));
    return out;
}

std::string LegacyTextToUtf8(const char *text, size_t length)
{
    const size_t end = std::find(text, text + length, '\0') - text;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < end;) {
        const size_t step = Utf8CharLength(s + i, end - i);
        if (step == 0)
            return Latin1ToUtf8(text, end);
        i += step;
    }
    return std::string(text, end);
}

void AddRiffInfo(SoundTags &tags, const char id[4], const char *text, size_t length)
{
    static const struct {
        const char *id;
        const char *name;
    } names[] = {{"INAM", tagname::Title},   {"IART", tagname::Artist},
                 {"IPRD", tagname::Album},   {"ICRD", tagname::Date},
                 {"ITRK", tagname::TrackNumber}, {"IPRT", tagname::TrackNumber},
                 {"IGNR", tagname::Genre},   {"ICMT", tagname::Comment},
                 {"ICOP", tagname::Copyright}};
    for (const auto &entry : names)
        if (memcmp(id, entry.id, 4) == 0) {
            tags.Add(entry.name, LegacyTextToUtf8(text, length));
            return;
        }
}

void AddVorbisComment(SoundTags &tags, const char *comment, size_t length)
{
    const char *equals = static_cast<const char *>(memchr(comment, '=', length));
    if (!equals || equals == comment)
        return;
    const size_t nameLength = size_t(equals - comment);
    tags.Add(std::string(comment, nameLength), std::string(equals + 1, length - nameLength - 1));
}

void ParseVorbisCommentBlock(SoundTags &tags, const unsigned char *data, size_t size)
{
    if (size < 8)
        return;
    const uint32_t vendor = LE32(data);
    if (vendor > size - 8)
        return;
    size_t at = 4 + size_t(vendor);
    uint32_t count = LE32(data + at);
    at += 4;
    for (; count > 0 && size - at >= 4; count--) {
        const uint32_t length = LE32(data + at);
        at += 4;
        if (length > size - at)
            return;
        AddVorbisComment(tags, reinterpret_cast<const char *>(data + at), length);
        at += length;
    }
}

bool ParseLoopValue(const char *text, ALuint rate, nuvexUInt64 *frames)
{
    const std::string value = Trimmed(text);
    if (value.find_first_of(":.") != std::string::npos)
        return rate > 0 && ParseTime(value, rate, frames);
    return ParseDigits(value, frames);
}

LoopPoints LoopFromTags(const SoundTags &tags, ALuint rate)
{
    const char *start = FirstOf(tags, "LOOPSTART", "LOOP_START");
    const char *end = FirstOf(tags, "LOOPEND", "LOOP_END");
    const char *length = FirstOf(tags, "LOOPLENGTH", "LOOP_LENGTH");
    LoopPoints loop;
    if (!start || !ParseLoopValue(start, rate, &loop.start))
        return {};
    nuvexUInt64 frames = 0;
    if (end) {
        if (!ParseLoopValue(end, rate, &loop.end))
            return {};
    } else if (length) {
        if (!ParseLoopValue(length, rate, &frames) || frames == 0)
            return {};
        loop.end = loop.start + frames;
    }
    // A start of 0 with no end would read as "no loop": the whole stream
    // loops then anyway.
    return loop;
}
