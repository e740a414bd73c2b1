// Standard MIDI Files (formats 0 and 1, also inside RIFF-MIDI), rendered by
// FluidSynth's synthesiser to 16-bit stereo at 44100 Hz, with SoundFonts as
// the patch sets.
//
// The file is parsed here and its events are handed to the synthesiser one
// by one, rendering the frames between them: FluidSynth's own file player
// plays nothing for some real files (hundreds of tracks, running status
// right after a meta event), and without a player or an audio driver the
// output depends on nothing but the file, the font and the settings.
//
// FluidSynth is loaded with dlopen on the first MIDI input, so programs that
// never play MIDI do not carry its dependencies and a system without it
// still runs the library (MIDI is then declined).
#include "../decoders.h"
#include "../decoderutil.h"

#include <fluidsynth.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr ALuint OutputRate = 44100;
// Whole loads stop here: a few bytes with an absurd tempo must not make a
// buffer of gigabytes. Streams have no bound.
constexpr nuvexUInt64 MaxWholeLoadFrames = nuvexUInt64(3600) * OutputRate;
// Far beyond any real song, small enough that frame arithmetic never wraps.
constexpr nuvexUInt64 FrameCeiling = nuvexUInt64(1) << 62;
// Real files are far smaller; the parsed events take up to eight times the
// input, so a larger one is not read.
constexpr size_t MaxMidiSize = size_t(16) << 20;

// ---- FluidSynth, loaded once ------------------------------------------------

#define NUVEX_FLUID_FUNCTIONS(X)                                                                   \
    X(new_fluid_settings) X(delete_fluid_settings) X(fluid_settings_setint)                        \
    X(fluid_settings_setnum) X(fluid_settings_getstr_default) X(fluid_set_log_function)            \
    X(new_fluid_synth) X(delete_fluid_synth) X(new_fluid_defsfloader)                              \
    X(fluid_sfloader_set_callbacks) X(fluid_synth_add_sfloader) X(fluid_synth_sfload)              \
    X(fluid_synth_get_sfont_by_id) X(fluid_synth_add_sfont) X(fluid_synth_remove_sfont)            \
    X(fluid_synth_program_reset) X(fluid_synth_all_sounds_off) X(fluid_synth_write_s16)           \
    X(fluid_synth_noteon) X(fluid_synth_noteoff) X(fluid_synth_cc) X(fluid_synth_pitch_bend)      \
    X(fluid_synth_program_change) X(fluid_synth_channel_pressure) X(fluid_synth_key_pressure)

class Font;

// The loaded library and what every synthesiser shares. Streams and fonts
// hold it by shared_ptr, so it outlives the last of them even at unload,
// where the library's streams are destroyed after this unit's statics.
class FluidLib {
public:
#define NUVEX_FLUID_POINTER(name) decltype(&::name) name = nullptr;
    NUVEX_FLUID_FUNCTIONS(NUVEX_FLUID_POINTER)
#undef NUVEX_FLUID_POINTER

    static std::shared_ptr<FluidLib> Get();
    ~FluidLib();

    // The SoundFont of that name, shared with every stream that uses it;
    // null when it cannot be read or is no SoundFont.
    std::shared_ptr<Font> LoadFont(const std::string &name);
    // The default SoundFont's name; false when there is none.
    bool DefaultFontName(std::string *name);

    fluid_settings_t *settings = nullptr;
    // For the synthesisers that only own a font: no voices to speak of.
    fluid_settings_t *ownerSettings = nullptr;
    // Fonts are loaded, added to and removed from synthesisers, and freed
    // under this lock: adding one writes its id, a font is shared between
    // streams, and FluidSynth's loads and frees share a list of samples
    // that it does not guard. Recursive: a font may be freed by its user.
    std::recursive_mutex fontMutex;

private:
    bool Open();
    void *library = nullptr;
    // FluidSynth reads a font's samples with OpenMP, whose threads would
    // stay in the application's process: fonts are loaded on one thread.
    // Absent when FluidSynth is built without OpenMP.
    int (*ompGetMaxThreads)() = nullptr;
    void (*ompSetNumThreads)(int) = nullptr;
    std::map<std::string, std::weak_ptr<Font>> fonts;
    unsigned long loads = 0;
};

// A loaded SoundFont. Only the synthesiser that loaded a font can free it
// (FluidSynth offers no other way), so each font keeps the one that loaded
// it, with its loader, and deleting that frees the font.
class Font {
public:
    explicit Font(std::shared_ptr<FluidLib> lib) : lib(std::move(lib))
    {
        owner = this->lib->new_fluid_synth(this->lib->ownerSettings);
    }
    ~Font()
    {
        std::lock_guard<std::recursive_mutex> lock(lib->fontMutex);
        if (owner)
            lib->delete_fluid_synth(owner);
    }
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;
    const std::shared_ptr<FluidLib> lib;
    fluid_synth_t *owner = nullptr;
    fluid_sfont_t *sfont = nullptr;
};

// The SoundFont loader reads through the library's file layer. FluidSynth
// falls back on its own file functions when a loader fails, so it is given
// a name no file has, and the real one travels beside it. The name is new
// for every load: FluidSynth shares sample data between loads of one name.
struct FontLoad {
    std::string token;
    const std::string *name;
};
thread_local const FontLoad *Loading = nullptr;

// Called from FluidSynth's C code, which no exception may cross.
void *OpenFont(const char *filename) noexcept
{
    try {
        if (!Loading || Loading->token != filename)
            return nullptr;
        std::unique_ptr<InStream> in(new InStream(Loading->name->c_str()));
        return in->fail() ? nullptr : in.release();
    } catch (...) {
        return nullptr;
    }
}
int ReadFont(void *buf, fluid_long_long_t count, void *handle)
{
    if (count < 0)
        return FLUID_FAILED;
    auto &in = *static_cast<InStream *>(handle);
    return ReadBytes(in, static_cast<ALubyte *>(buf), size_t(count)) == size_t(count) ? FLUID_OK
                                                                                     : FLUID_FAILED;
}
int SeekFont(void *handle, fluid_long_long_t offset, int origin)
{
    return SeekInput(*static_cast<InStream *>(handle), offset, origin) < 0 ? FLUID_FAILED : FLUID_OK;
}
fluid_long_long_t TellFont(void *handle)
{
    auto &in = *static_cast<InStream *>(handle);
    std::streamoff at = in.tellg();
    return at < 0 ? FLUID_FAILED : fluid_long_long_t(at);
}
int CloseFont(void *handle)
{
    delete static_cast<InStream *>(handle);
    return FLUID_OK;
}

std::shared_ptr<FluidLib> FluidLib::Get()
{
    // Tried once, whatever the outcome.
    static const std::shared_ptr<FluidLib> instance = [] {
        std::shared_ptr<FluidLib> lib(new FluidLib);
        return lib->Open() ? lib : nullptr;
    }();
    return instance;
}

bool FluidLib::Open()
{
    // NUVEX_FLUIDSYNTH names the library to load; set but empty: none.
    const char *name = getenv("NUVEX_FLUIDSYNTH");
    if (!name)
        name = "libfluidsynth.so.3";
    if (!*name || !(library = dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)))
        return false;
#define NUVEX_FLUID_BIND(f)                                                                        \
    if (!(f = reinterpret_cast<decltype(&::f)>(dlsym(library, #f))))                               \
        return false;
    NUVEX_FLUID_FUNCTIONS(NUVEX_FLUID_BIND)
#undef NUVEX_FLUID_BIND
    ompGetMaxThreads = reinterpret_cast<int (*)()>(dlsym(library, "omp_get_max_threads"));
    ompSetNumThreads = reinterpret_cast<void (*)(int)>(dlsym(library, "omp_set_num_threads"));
    // Its messages about bad fonts would land on our callers' stderr.
    for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
        fluid_set_log_function(level, nullptr, nullptr);
    if (!(settings = new_fluid_settings()))
        return false;
    // One rendering thread (the caller's): the output is then the same
    // every time. Sample memory is not pinned: fonts are shared, not many.
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    fluid_settings_setint(settings, "synth.lock-memory", 0);
    fluid_settings_setnum(settings, "synth.sample-rate", OutputRate);
    if (!(ownerSettings = new_fluid_settings()))
        return false;
    fluid_settings_setint(ownerSettings, "synth.cpu-cores", 1);
    fluid_settings_setint(ownerSettings, "synth.lock-memory", 0);
    fluid_settings_setint(ownerSettings, "synth.polyphony", 1);
    fluid_settings_setint(ownerSettings, "synth.reverb.active", 0);
    fluid_settings_setint(ownerSettings, "synth.chorus.active", 0);
    return true;
}

FluidLib::~FluidLib()
{
    for (fluid_settings_t *s : {settings, ownerSettings})
        if (s)
            delete_fluid_settings(s);
    // FluidSynth itself stays loaded (RTLD_NODELETE): GLib and GObject,
    // which it brings in, are never unloaded and would keep pointers into
    // what went with it (the types libinstpatch registers for its DLS
    // loader, FluidSynth's thread-private data), as would OpenMP's threads.
    // Nothing of it points into this library once this object is gone.
}

std::shared_ptr<Font> FluidLib::LoadFont(const std::string &name)
{
    std::lock_guard<std::recursive_mutex> lock(fontMutex);
    if (std::shared_ptr<Font> shared = fonts[name].lock())
        return shared;
    // The thread count is the calling thread's own OpenMP setting, so it
    // is put back for the application's code.
    struct Scope {
        Scope(FluidLib &lib, const FontLoad &load) : lib(lib)
        {
            Loading = &load;
            if (lib.ompGetMaxThreads && lib.ompSetNumThreads) {
                threads = lib.ompGetMaxThreads();
                lib.ompSetNumThreads(1);
            }
        }
        ~Scope()
        {
            Loading = nullptr;
            if (threads)
                lib.ompSetNumThreads(threads);
        }
        FluidLib &lib;
        int threads = 0;
    };
    // Only what starts as a SoundFont goes to FluidSynth: when its own
    // loaders fail, it tries its DLS reader, which leaks on every failure.
    {
        InStream in(name.c_str());
        char head[12] = {};
        if (!in.read(head, 12) || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "sfbk", 4) != 0)
            return nullptr;
    }
    const FontLoad load = {"\x1bnuvex-soundfont-" + std::to_string(++loads), &name};
    Scope scope(*this, load);
    std::shared_ptr<Font> font = std::make_shared<Font>(Get());
    fluid_sfloader_t *loader = font->owner ? new_fluid_defsfloader(ownerSettings) : nullptr;
    if (loader) {
        fluid_sfloader_set_callbacks(loader, OpenFont, ReadFont, SeekFont, TellFont, CloseFont);
        fluid_synth_add_sfloader(font->owner, loader);
        int id = fluid_synth_sfload(font->owner, load.token.c_str(), 0);
        font->sfont = id == FLUID_FAILED ? nullptr : fluid_synth_get_sfont_by_id(font->owner, id);
    }
    if (!font->sfont)
        return nullptr;
    fonts[name] = font;
    // Names of fonts no stream uses any more are dropped as others come.
    for (auto it = fonts.begin(); it != fonts.end();)
        it = it->second.expired() ? fonts.erase(it) : std::next(it);
    return font;
}

bool FluidLib::DefaultFontName(std::string *name)
{
    // NUVEX_SOUNDFONT first; set but empty means no default at all.
    if (const char *env = getenv("NUVEX_SOUNDFONT")) {
        *name = env;
        return !name->empty();
    }
    char *fluidDefault = nullptr;
    if (fluid_settings_getstr_default(settings, "synth.default-soundfont", &fluidDefault) !=
            FLUID_OK ||
        !fluidDefault || !*fluidDefault)
        return false;
    *name = fluidDefault;
    return true;
}

// One synthesiser with one font, which it never owns: the font is taken out
// again before the synthesiser is deleted, which would otherwise delete it.
class Synth {
public:
    explicit Synth(std::shared_ptr<FluidLib> lib) : lib(std::move(lib))
    {
        synth = this->lib->new_fluid_synth(this->lib->settings);
    }
    ~Synth()
    {
        if (!synth)
            return;
        // Deleting the synthesiser stops its voices, which lets go of the
        // font's samples; only then may the font go.
        if (current) {
            std::lock_guard<std::recursive_mutex> lock(lib->fontMutex);
            lib->fluid_synth_remove_sfont(synth, current->sfont);
        }
        lib->delete_fluid_synth(synth);
    }
    Synth(const Synth &) = delete;
    Synth &operator=(const Synth &) = delete;

    fluid_synth_t *get() const { return synth; }
    const std::shared_ptr<Font> &font() const { return current; }

    // Sounding notes stop; the channels keep their programs and
    // controllers, now played with the new font.
    void Use(std::shared_ptr<Font> font)
    {
        // Until the channels have chosen their presets anew they point into
        // the old font, so it is let go only at the end (this may be the
        // last reference; another stream may hold the last one instead).
        std::shared_ptr<Font> old = current;
        std::lock_guard<std::recursive_mutex> lock(lib->fontMutex);
        if (current) {
            // Stopped voices let go of their samples only as the synthesiser
            // renders on, so it renders a few blocks, unheard, before the
            // font may be freed (a font still in use cannot be, and leaks).
            lib->fluid_synth_all_sounds_off(synth, -1);
            int16_t unheard[64 * 2];
            for (int block = 0; block < 3; block++)
                Render(unheard, 64);
            lib->fluid_synth_remove_sfont(synth, current->sfont);
        }
        current = std::move(font);
        if (current)
            lib->fluid_synth_add_sfont(synth, current->sfont);
        lib->fluid_synth_program_reset(synth);
    }

    void Render(int16_t *out, int frames) { lib->fluid_synth_write_s16(synth, frames, out, 0, 2, out, 1, 2); }

private:
    std::shared_ptr<FluidLib> lib;
    fluid_synth_t *synth = nullptr;
    std::shared_ptr<Font> current;
};

// ---- The file -----------------------------------------------------------------

struct MidiEvent {
    nuvexUInt64 frame;
    uint8_t status, data1, data2;
};

struct TempoChange {
    nuvexUInt64 tick;
    uint32_t microsPerQuarter;
};

struct TimedEvent {
    nuvexUInt64 tick;
    MidiEvent event;
};

// A cursor over one track's bytes; every read stops at the track's end.
struct TrackReader {
    const ALubyte *at, *end;
    bool ReadByte(uint8_t *b)
    {
        if (at >= end)
            return false;
        *b = *at++;
        return true;
    }
    // A variable-length quantity: at most four bytes, 28 bits.
    bool ReadNumber(uint32_t *value)
    {
        *value = 0;
        for (int i = 0; i < 4; i++) {
            uint8_t b;
            if (!ReadByte(&b))
                return false;
            *value = *value << 7 | (b & 0x7F);
            if (!(b & 0x80))
                return true;
        }
        return false;
    }
    bool Skip(uint32_t bytes)
    {
        if (size_t(end - at) < bytes)
            return false;
        at += bytes;
        return true;
    }
};

// Data bytes that follow a channel status byte.
int DataBytes(uint8_t status)
{
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

// Appends a track's channel events and tempo changes; returns the tick at
// which the track ends. A damaged track ends where its damage starts.
nuvexUInt64 ReadTrack(TrackReader track, std::vector<TimedEvent> &events,
                      std::vector<TempoChange> &tempos)
{
    nuvexUInt64 tick = 0;
    uint8_t running = 0;
    for (;;) {
        uint32_t delta;
        uint8_t status;
        if (!track.ReadNumber(&delta) || !track.ReadByte(&status))
            return tick;
        tick += delta;
        if (status == 0xFF || status == 0xF0 || status == 0xF7) {
            // Meta and system exclusive events. Running status carries on
            // past them: real files rely on it, though the format says not.
            uint8_t type = 0;
            uint32_t length;
            if ((status == 0xFF && !track.ReadByte(&type)) || !track.ReadNumber(&length))
                return tick;
            const ALubyte *body = track.at;
            if (!track.Skip(length))
                return tick;
            if (status == 0xFF && type == 0x2F)
                return tick;
            if (status == 0xFF && type == 0x51 && length >= 3)
                tempos.push_back({tick, uint32_t(body[0]) << 16 | uint32_t(body[1]) << 8 | body[2]});
            continue;
        }
        if (status < 0x80) {
            if (!running)
                return tick;
            track.at--; // the byte was data, under running status
            status = running;
        } else if (status >= 0xF0) {
            return tick; // system messages have no place in a file
        }
        running = status;
        uint8_t data[2] = {0, 0};
        for (int i = 0; i < DataBytes(status); i++)
            if (!track.ReadByte(&data[i]) || data[i] >= 0x80)
                return tick;
        events.push_back({tick, {0, status, data[0], data[1]}});
    }
}

uint32_t BigEndian32(const ALubyte *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Where the Standard MIDI File starts in `image`: at 0, or in the "data"
// chunk of a RIFF-MIDI file. Null when it is neither.
const ALubyte *FindSmf(const std::vector<ALubyte> &image, size_t *length)
{
    const ALubyte *p = image.data();
    size_t size = image.size();
    if (size >= 12 && memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "RMID", 4) == 0) {
        for (size_t at = 12; at + 8 <= size;) {
            uint32_t chunk = uint32_t(p[at + 4]) | uint32_t(p[at + 5]) << 8 |
                             uint32_t(p[at + 6]) << 16 | uint32_t(p[at + 7]) << 24;
            if (memcmp(p + at, "data", 4) == 0) {
                *length = std::min<size_t>(chunk, size - at - 8);
                return p + at + 8;
            }
            at += 8 + size_t(chunk) + (chunk & 1);
        }
        return nullptr;
    }
    *length = size;
    return size >= 4 && memcmp(p, "MThd", 4) == 0 ? p : nullptr;
}

// Turns ticks into frames at 44100 Hz along the tempo map (sorted by
// tick): exact, without drift, saturating at FrameCeiling.
class TempoMap {
public:
    TempoMap(uint16_t division, std::vector<TempoChange> changes)
        : division(division), changes(std::move(changes))
    {
    }
    nuvexUInt64 FrameAt(nuvexUInt64 tick)
    {
        if (division & 0x8000) {
            // Time code: frames per second (29 stands for 29.97) times
            // ticks per frame, whatever the tempo.
            int fps = -int(int8_t(division >> 8));
            unsigned __int128 num = (unsigned __int128)tick * OutputRate * (fps == 29 ? 1001 : 1);
            nuvexUInt64 den = nuvexUInt64(fps == 29 ? 30000 : fps) * (division & 0xFF);
            return Saturate(num / den);
        }
        // Ticks times microseconds per quarter note, summed segment by
        // segment up to the tick, and divided once.
        while (next < changes.size() && changes[next].tick <= tick) {
            elapsed += (unsigned __int128)(changes[next].tick - segmentTick) * tempo;
            segmentTick = changes[next].tick;
            tempo = changes[next++].microsPerQuarter;
        }
        unsigned __int128 sum = elapsed + (unsigned __int128)(tick - segmentTick) * tempo;
        return Saturate(sum * OutputRate / (nuvexUInt64(division) * 1000000));
    }

private:
    static nuvexUInt64 Saturate(unsigned __int128 frames)
    {
        return frames > FrameCeiling ? FrameCeiling : nuvexUInt64(frames);
    }
    uint16_t division;
    std::vector<TempoChange> changes;
    size_t next = 0;
    nuvexUInt64 segmentTick = 0;
    uint32_t tempo = 500000; // 120 beats a minute until told otherwise
    unsigned __int128 elapsed = 0;
};

} // namespace

class midiStream final : public nuvexStream {
public:
    explicit midiStream(std::istream *input);

    bool IsValid() override { return synth != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    bool SetPatchset(const char *patchset) override;
    nuvexUInt64 GetLength() override { return songEnd < FrameCeiling ? songEnd : 0; }
    nuvexUInt64 MaxExpansion() override { return nuvexUInt64(1) << 30; }
    bool ReadyForLoad(bool whole) override;

    static void Init() {}
    static void Deinit() {}

protected:
    bool DecodesForwardToSeek() override { return true; }

private:
    bool Parse(const ALubyte *smf, size_t length);
    bool EnsureFont();
    void Dispatch(const MidiEvent &e);

    std::shared_ptr<FluidLib> lib;
    std::unique_ptr<Synth> synth;
    std::vector<MidiEvent> events;
    nuvexUInt64 songEnd = 0, position = 0;
    size_t nextEvent = 0;
    // Whether the default font was looked for since the stream had none.
    bool defaultTried = false;
};

midiStream::midiStream(std::istream *input) : nuvexStream(input)
{
    // Twelve bytes tell a MIDI file from anything else; only then is the
    // input read and FluidSynth loaded.
    char head[12] = {};
    input->read(head, 12);
    if (memcmp(head, "MThd", 4) != 0 && (memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "RMID", 4) != 0))
        return;
    input->clear();
    input->seekg(0);
    // The whole input, when it is small enough to be a MIDI file.
    std::vector<ALubyte> image(4096);
    if (!ReadRest(*input, image, 0, MaxMidiSize))
        return;
    size_t length = 0;
    const ALubyte *smf = FindSmf(image, &length);
    if (!smf || !Parse(smf, length) || !(lib = FluidLib::Get()))
        return;
    synth.reset(new Synth(lib));
    if (!synth->get())
        synth.reset();
}

bool midiStream::Parse(const ALubyte *smf, size_t length)
{
    if (length < 14 || BigEndian32(smf + 4) < 6)
        return false;
    const uint16_t format = uint16_t(smf[8] << 8 | smf[9]);
    const uint16_t division = uint16_t(smf[12] << 8 | smf[13]);
    // Format 2 (independent sequences) is not played.
    if (format > 1 || (division & 0x7FFF) == 0 || ((division & 0x8000) && (division & 0xFF) == 0))
        return false;
    // Every track chunk present is read, whatever the header's count says.
    std::vector<TimedEvent> timed;
    std::vector<TempoChange> tempos;
    nuvexUInt64 endTick = 0;
    size_t at = 8 + size_t(BigEndian32(smf + 4));
    while (at + 8 <= length && at + 8 > at) {
        const size_t body = at + 8, chunk = std::min<size_t>(BigEndian32(smf + at + 4), length - body);
        if (memcmp(smf + at, "MTrk", 4) == 0)
            endTick = std::max(endTick, ReadTrack({smf + body, smf + body + chunk}, timed, tempos));
        at = body + chunk;
    }
    // Events of one tick play in file order: track by track.
    std::stable_sort(timed.begin(), timed.end(),
                     [](const TimedEvent &a, const TimedEvent &b) { return a.tick < b.tick; });
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const TempoChange &a, const TempoChange &b) { return a.tick < b.tick; });
    TempoMap map(division, std::move(tempos));
    events.reserve(timed.size());
    for (TimedEvent &t : timed) {
        t.event.frame = map.FrameAt(t.tick);
        events.push_back(t.event);
    }
    songEnd = map.FrameAt(endTick);
    return true;
}

bool midiStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = AL_FORMAT_STEREO16;
    *freq = OutputRate;
    *align = 4;
    return true;
}

// The stream's font, the default one when none was chosen; false (with the
// message left) when it has none.
bool midiStream::EnsureFont()
{
    if (!synth->font() && !defaultTried) {
        defaultTried = true;
        std::string name;
        if (lib->DefaultFontName(&name))
            if (std::shared_ptr<Font> font = lib->LoadFont(name))
                synth->Use(std::move(font));
    }
    return synth->font() ? true : Fail("No SoundFont available", false);
}

bool midiStream::ReadyForLoad(bool whole)
{
    if (!EnsureFont())
        return false;
    if (whole && songEnd > MaxWholeLoadFrames)
        return Fail("MIDI file too long to load whole", false);
    return true;
}

void midiStream::Dispatch(const MidiEvent &e)
{
    fluid_synth_t *s = synth->get();
    const int channel = e.status & 0x0F;
    switch (e.status & 0xF0) {
    case 0x80: lib->fluid_synth_noteoff(s, channel, e.data1); break;
    case 0x90:
        if (e.data2 == 0)
            lib->fluid_synth_noteoff(s, channel, e.data1);
        else
            lib->fluid_synth_noteon(s, channel, e.data1, e.data2);
        break;
    case 0xA0: lib->fluid_synth_key_pressure(s, channel, e.data1, e.data2); break;
    case 0xB0: lib->fluid_synth_cc(s, channel, e.data1, e.data2); break;
    case 0xC0: lib->fluid_synth_program_change(s, channel, e.data1); break;
    case 0xD0: lib->fluid_synth_channel_pressure(s, channel, e.data1); break;
    case 0xE0: lib->fluid_synth_pitch_bend(s, channel, e.data1 | e.data2 << 7); break;
    }
}

ALuint midiStream::GetData(ALubyte *data, ALuint bytes)
{
    if (!EnsureFont())
        return 0;
    const nuvexUInt64 wanted = bytes / 4;
    nuvexUInt64 done = 0;
    while (done < wanted && position < songEnd) {
        while (nextEvent < events.size() && events[nextEvent].frame <= position)
            Dispatch(events[nextEvent++]);
        // Up to the next event, which is handed over at its own frame. The
        // synthesiser renders in blocks of 64 frames and takes events at
        // the start of a block, so it sounds up to 63 frames later: the
        // same in every rendering, however the output is split.
        nuvexUInt64 until = nextEvent < events.size() ? events[nextEvent].frame : songEnd;
        nuvexUInt64 frames = std::min({wanted - done, until - position, nuvexUInt64(1) << 16});
        synth->Render(reinterpret_cast<int16_t *>(data) + done * 2, int(frames));
        done += frames;
        position += frames;
    }
    return ALuint(done * 4);
}

bool midiStream::Rewind()
{
    // A fresh synthesiser: no note, controller or effect tail carries over,
    // so every pass renders the same samples.
    std::unique_ptr<Synth> fresh(new Synth(lib));
    if (!fresh->get())
        return Fail("Seek failed", false);
    fresh->Use(synth->font());
    synth = std::move(fresh);
    position = 0;
    nextEvent = 0;
    return true;
}

bool midiStream::SetPatchset(const char *patchset)
{
    // Loaded without the library's lock (a font can be large), swapped in
    // under it, so the update thread never renders mid-swap.
    std::string name;
    std::shared_ptr<Font> font;
    if (!patchset && !lib->DefaultFontName(&name))
        return Fail("No SoundFont available", false);
    if (!(font = lib->LoadFont(patchset ? std::string(patchset) : name)))
        return Fail(patchset ? "SoundFont load failed" : "No SoundFont available", false);
    StreamPlayLock lock;
    synth->Use(std::move(font));
    return true;
}

static DecoderDecl<midiStream, 0> midiStream_decoder;
const void *nuvex_init_midi() { return &midiStream_decoder; }
