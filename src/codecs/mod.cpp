// Tracker modules through libmodplug with its default settings (16-bit stereo
// at 44100 Hz). libmodplug loads only from a whole image in memory.
#include "../decoders.h"
#include "../decoderutil.h"

#include <libmodplug/modplug.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {
// libmodplug mixes every module in process-wide buffers with process-wide
// settings: two modules decoded at once would trade samples. Every call into
// it holds this lock (its place in the lock order: livestreams.cpp), so
// modules decode one at a time, whatever thread decodes them.
std::mutex ModPlugCalls;
using ModPlugCall = std::lock_guard<std::mutex>;

// Real modules are far smaller; anything larger is not read whole.
constexpr size_t MaxModuleSize = size_t(256) << 20;

// The size of the whole input when it can tell (0 when it cannot); leaves
// it at its start.
uint64_t InputSize(std::istream &in)
{
    in.seekg(0, std::ios_base::end);
    std::streamoff end = in ? std::streamoff(in.tellg()) : -1;
    in.clear();
    in.seekg(0, std::ios_base::beg);
    return end > 0 ? uint64_t(end) : 0;
}

// Families that libmodplug has readers for but mishandles, declined on
// their first twelve bytes before libmodplug sees any: it crashes on some
// Standard MIDI Files and renders the others without instruments, turns any
// RIFF/WAVE into six seconds of 44.1 kHz stereo, its X-Tracker (DMF) reader
// can loop forever on a damaged chunk list, and its reader of GUS patches
// (an instrument, not a song) crashes on damaged ones.
bool IsForeignFamily(const ALubyte *head, size_t size)
{
    auto tagAt = [&](size_t at, const char *tag) {
        return size >= at + 4 && memcmp(head + at, tag, 4) == 0;
    };
    if (tagAt(0, "MThd") || tagAt(0, "DDMF") || (tagAt(0, "GF1P") && tagAt(4, "ATCH")))
        return true;
    if (tagAt(0, "RIFF"))
        return tagAt(8, "WAVE") || tagAt(8, "RMID");
    if (tagAt(0, "FORM"))
        return tagAt(8, "AIFF") || tagAt(8, "AIFC");
    return false;
}

} // namespace

class modStream final : public nuvexStream {
public:
    explicit modStream(std::istream *input);
    ~modStream() override;

    bool IsValid() override { return moduleFile != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override { return SetOrder(currentOrder); }
    bool SetOrder(ALuint order) override;
    // The song's playing time as libmodplug works it out: only a reservation
    // for whole-sound loads, so growing the array need not copy it.
    nuvexUInt64 ExpectedFrames() override
    {
        ModPlugCall call(ModPlugCalls);
        int ms = ModPlug_GetLength(moduleFile);
        return ms > 0 ? nuvexUInt64(ms) * 44100 / 1000 + 44100 : 0;
    }
    // A few kilobytes of patterns can play for minutes.
    nuvexUInt64 MaxExpansion() override { return 1 << 16; }

    static void Init() {}
    static void Deinit() {}

protected:
    // Modules have no seek of their own; their songs are minutes long.
    bool DecodesForwardToSeek() override { return true; }

private:
    ModPlugFile *moduleFile = nullptr;
    ALuint currentOrder = 0;
};

modStream::modStream(std::istream *input) : nuvexStream(input)
{
    // An input that says how large it is is declined unread when too large;
    // the others are cut off by the reading.
    if (InputSize(*input) > MaxModuleSize)
        return;
    std::vector<ALubyte> buffer(1024);
    size_t filled = ReadBytes(*input, buffer.data(), buffer.size());
    if (filled < 32 || IsForeignFamily(buffer.data(), filled))
        return;
    buffer.resize(filled * 2);
    if (!ReadRest(*input, buffer, filled, MaxModuleSize))
        return;
    ModPlugCall call(ModPlugCalls);
    moduleFile = ModPlug_Load(buffer.data(), int(buffer.size()));
    if (moduleFile && (ModPlug_GetModuleType(moduleFile) & 0x03FFFFFF) == 0) {
        ModPlug_Unload(moduleFile);
        moduleFile = nullptr;
    }
    // Module titles name no encoding: trackers wrote them in their
    // system's code page (libmodplug drops the padding). The song's own
    // loops stay its own: no loop points.
    const char *title = moduleFile ? ModPlug_GetName(moduleFile) : nullptr;
    if (title && *title)
        tags.Add(tagname::Title, LegacyTextToUtf8(title, strlen(title)));
}

modStream::~modStream()
{
    ModPlugCall call(ModPlugCalls);
    if (moduleFile)
        ModPlug_Unload(moduleFile);
    moduleFile = nullptr;
}

bool modStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = AL_FORMAT_STEREO16;
    *freq = 44100;
    *align = 4;
    return true;
}

ALuint modStream::GetData(ALubyte *data, ALuint bytes)
{
    int request = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : int(bytes);
    ModPlugCall call(ModPlugCalls);
    int got = ModPlug_Read(moduleFile, data, request);
    return got < 0 ? 0 : ALuint(got);
}

bool modStream::SetOrder(ALuint order)
{
    std::istream &in = *inputStream;
    in.clear();
    in.seekg(0, std::ios_base::beg);
    std::vector<ALubyte> buffer(16384);
    ModPlugFile *newModule = nullptr;
    // An input that now yields nothing is not handed to libmodplug at all.
    const bool readable = ReadRest(in, buffer, 0, MaxModuleSize) && !buffer.empty();
    ModPlugCall call(ModPlugCalls);
    if (readable)
        newModule = ModPlug_Load(buffer.data(), int(buffer.size()));
    if (!newModule)
        return Fail("Could not reload data", false);
    ModPlug_Unload(moduleFile);
    moduleFile = newModule;
    ModPlug_SeekOrder(moduleFile, int(order));
    currentOrder = order;
    return true;
}

static DecoderDecl<modStream, -1> modStream_decoder;
const void *nuvex_init_modplug() { return &modStream_decoder; }
