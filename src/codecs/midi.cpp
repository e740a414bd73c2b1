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
// FluidSynth is loaded with dlopen on the first MIDI input (or before the
// first load worker starts: see backgroundload.cpp), so programs that never
// play MIDI do not carry its dependencies and a system without it
// still runs the library (MIDI is then declined).
#include "../decoders.h"
#include "../decoderutil.h"

#include <fluidsynth.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr ALuint OutputRate = 44100;
// Whole loads stop here: a few bytes with an absurd tempo must not make a
// buffer of gigabytes. Streams have no bound.
constexpr nuvexUInt64 MaxWholeLoadFrames = nuvexUInt64(3600) * OutputRate;
// Far beyond any real song, small enough that frame arithmetic never wraps.
constexpr nuvexUInt64 FrameCeiling = nuvexUInt64(1) << 62;
// Real files are far smaller. A parsed file is its own bytes plus a few per
// track and tempo change, and parsing an input that tells its size never
// takes five times it; a larger one is not read.
constexpr size_t MaxMidiSize = size_t(16) << 20;

// ---- FluidSynth, loaded once ------------------------------------------------

#define NUVEX_FLUID_FUNCTIONS(X)                                                                   \
    X(new_fluid_settings) X(delete_fluid_settings) X(fluid_settings_setint)                        \
    X(fluid_settings_setnum) X(fluid_settings_getstr_default) X(fluid_set_log_function)            \
    X(new_fluid_synth) X(delete_fluid_synth) X(new_fluid_defsfloader)                              \
    X(fluid_sfloader_set_callbacks) X(fluid_synth_add_sfloader) X(fluid_synth_sfload)              \
    X(fluid_synth_get_sfont_by_id) X(fluid_synth_add_sfont) X(fluid_synth_remove_sfont)            \
    X(fluid_synth_program_reset) X(fluid_synth_system_reset) X(fluid_synth_write_float)           \
    X(fluid_synth_noteon) X(fluid_synth_noteoff) X(fluid_synth_cc) X(fluid_synth_pitch_bend)      \
    X(fluid_synth_program_change) X(fluid_synth_channel_pressure) X(fluid_synth_key_pressure)     \
    X(fluid_synth_get_polyphony) X(fluid_synth_get_active_voice_count)

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

    // The SoundFont of that name, shared with every stream that uses it,
    // from the font cache when it is there; null when it cannot be read or
    // is no SoundFont. Called only by a thread that holds no lock of ours.
    std::shared_ptr<Font> LoadFont(const std::string &name);
    // The default SoundFont's name; false when there is none.
    bool DefaultFontName(std::string *name);

    fluid_settings_t *settings = nullptr;
    // For the synthesisers that only own a font: no voices to speak of.
    fluid_settings_t *ownerSettings = nullptr;
    // Fonts are loaded and freed under this lock: FluidSynth's loads and
    // frees share a list of samples that it does not guard. A load holds it
    // for seconds, so a thread that holds the library's lock never takes
    // it. Recursive: a load frees the fonts it pushes out of the cache.
    std::recursive_mutex loadMutex;
    // Synthesisers are made and deleted under this lock: each of those
    // counts, without a lock, the users of FluidSynth's process-wide
    // instrument-patch state. Innermost, held for one call.
    std::mutex lifeMutex;

private:
    bool Open();
    void *library = nullptr;
    // FluidSynth reads a font's samples with OpenMP, whose threads would
    // stay in the application's process: fonts are loaded on one thread.
    // Absent when FluidSynth is built without OpenMP.
    int (*ompGetMaxThreads)() = nullptr;
    void (*ompSetNumThreads)(int) = nullptr;
    unsigned long loads = 0;
};

// A loaded SoundFont. Only the synthesiser that loaded a font can free it
// (FluidSynth offers no other way), so each font keeps the one that loaded
// it, with its loader, and deleting that frees the font.
//
// One font serves every synthesiser that plays it, and FluidSynth writes
// into the font as they play (note-ons, note-offs, program changes and
// ended voices change flags of its zones and counts of its samples' users,
// without a lock): every call on a synthesiser that plays a font is made
// under the font's `use` lock, held for one event or one block of output.
class Font {
public:
    explicit Font(std::shared_ptr<FluidLib> lib) : lib(std::move(lib))
    {
        std::lock_guard<std::mutex> life(this->lib->lifeMutex);
        owner = this->lib->new_fluid_synth(this->lib->ownerSettings);
    }
    ~Font()
    {
        std::lock_guard<std::recursive_mutex> load(lib->loadMutex);
        std::lock_guard<std::mutex> life(lib->lifeMutex);
        if (owner)
            lib->delete_fluid_synth(owner);
    }
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;
    const std::shared_ptr<FluidLib> lib;
    fluid_synth_t *owner = nullptr;
    fluid_sfont_t *sfont = nullptr;
    std::mutex use;
};

// ---- The font cache ---------------------------------------------------------

// Loaded fonts by name: a game plays its music with one font, and loading
// a large one costs as much as rendering a song. A font stays loaded while
// anything uses it, and afterwards for as long as all fonts held add up to
// no more than the bound (NUVEX_SOUNDFONT_CACHE megabytes of font file,
// read at the first load; 0: none is kept once unused); past it, the fonts
// unused longest go. Users hold a font through a handle whose end tells the
// cache.
//
// A font is freed only by a thread that holds no lock of the library (a
// free waits for a load in progress): one let go under the library's lock,
// by a stream destroyed there, waits in `unfreed` for the next cache call
// made without it.
class FontCache : public std::enable_shared_from_this<FontCache> {
public:
    // The font of that name, as a new handle; null when it is not held.
    std::shared_ptr<Font> Find(const std::string &name);
    // Holds a font just loaded from `bytes` bytes of file; its handle.
    std::shared_ptr<Font> Add(const std::string &name, std::shared_ptr<Font> font, size_t bytes);
    // Lets every unused font go; once `closing`, each font as it ends unused.
    void Empty(bool closing);

private:
    using Fonts = std::vector<std::shared_ptr<Font>>;
    struct Entry {
        std::string name;
        std::shared_ptr<Font> font;
        // Alive while a user holds the font.
        std::weak_ptr<Font> users;
        size_t bytes;
        unsigned long id;
    };
    // What the handles of one entry share; its end tells the cache.
    class Users {
    public:
        Users(std::shared_ptr<FontCache> cache, unsigned long id) : cache(std::move(cache)), id(id) {}
        ~Users() { cache->Released(id); }
        Users(const Users &) = delete;
        Users &operator=(const Users &) = delete;

    private:
        const std::shared_ptr<FontCache> cache;
        const unsigned long id;
    };
    std::shared_ptr<Font> Handle(Entry &entry);
    void Released(unsigned long id);
    void Trim(size_t keep, Fonts &gone);
    void Free(Fonts gone);
    size_t Bound();

    std::mutex mutex;
    std::list<Entry> entries; // the most recently used first
    Fonts unfreed;
    size_t held = 0;
    size_t bound = 0;
    bool boundRead = false, closed = false;
    unsigned long lastId = 0;
};

// Made before, and so emptied after, the unload sequence that destroys the
// live streams; fonts still in use then go as their users end.
struct CacheHolder {
    const std::shared_ptr<FontCache> cache = std::make_shared<FontCache>();
    ~CacheHolder() { cache->Empty(true); }
} TheCache __attribute__((init_priority(106)));

size_t FontCache::Bound()
{
    if (closed)
        return 0;
    if (!boundRead) {
        boundRead = true;
        bound = size_t(512) << 20;
        // Megabytes, a fraction allowed; anything else keeps the default.
        const char *env = getenv("NUVEX_SOUNDFONT_CACHE");
        char *end = nullptr;
        const double mb = env && *env ? strtod(env, &end) : -1;
        if (end && !*end && mb >= 0 && mb < double(SIZE_MAX >> 21))
            bound = size_t(mb * 1048576.0);
    }
    return bound;
}

std::shared_ptr<Font> FontCache::Handle(Entry &entry)
{
    if (std::shared_ptr<Font> users = entry.users.lock())
        return users;
    std::shared_ptr<Font> handle(std::make_shared<Users>(shared_from_this(), entry.id), entry.font.get());
    entry.users = handle;
    return handle;
}

std::shared_ptr<Font> FontCache::Find(const std::string &name)
{
    std::shared_ptr<Font> handle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.name == name; });
        if (it != entries.end()) {
            entries.splice(entries.begin(), entries, it);
            handle = Handle(*it);
        }
    }
    Free({});
    return handle;
}

std::shared_ptr<Font> FontCache::Add(const std::string &name, std::shared_ptr<Font> font, size_t bytes)
{
    Fonts gone;
    std::shared_ptr<Font> handle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_front({name, std::move(font), {}, bytes, ++lastId});
        held += bytes;
        handle = Handle(entries.front());
        Trim(Bound(), gone);
    }
    Free(std::move(gone));
    return handle;
}

void FontCache::Released(unsigned long id)
{
    Fonts gone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The last user's end is the font's last use. A new user may have
        // come meanwhile, and the font may have gone already.
        auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.id == id; });
        if (it != entries.end() && it->users.expired())
            entries.splice(entries.begin(), entries, it);
        Trim(Bound(), gone);
    }
    Free(std::move(gone));
}

void FontCache::Empty(bool closing)
{
    Fonts gone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = closed || closing;
        Trim(0, gone);
    }
    Free(std::move(gone));
}

// Takes unused fonts out, those unused longest first, until what is held
// is within `keep`.
void FontCache::Trim(size_t keep, Fonts &gone)
{
    for (auto it = entries.end(); held > keep && it != entries.begin();) {
        if (!(--it)->users.expired())
            continue;
        held -= it->bytes;
        gone.push_back(std::move(it->font));
        it = entries.erase(it);
    }
}

void FontCache::Free(Fonts gone)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (StreamPlayDepth() > 0) {
            unfreed.insert(unfreed.end(), std::make_move_iterator(gone.begin()), std::make_move_iterator(gone.end()));
            return;
        }
        gone.insert(gone.end(), std::make_move_iterator(unfreed.begin()), std::make_move_iterator(unfreed.end()));
        unfreed.clear();
    }
    // The fonts go here, as `gone` ends, after the cache lock.
}

// The SoundFont loader reads through the library's file layer. FluidSynth
// falls back on its own file functions when a loader fails, so it is given
// a name no file has, and the real one travels beside it. The name is new
// for every load: FluidSynth shares sample data between loads of one name.
struct FontLoad {
    std::string token;
    const std::string *name;
    size_t bytes = 0; // read from the file so far
};
thread_local FontLoad *Loading = nullptr;

struct FontFile {
    explicit FontFile(const char *name, FontLoad *load) : in(name), load(load) {}
    InStream in;
    FontLoad *load;
};

// Called from FluidSynth's C code, which no exception may cross.
void *OpenFont(const char *filename) noexcept
{
    try {
        if (!Loading || Loading->token != filename)
            return nullptr;
        std::unique_ptr<FontFile> file(new FontFile(Loading->name->c_str(), Loading));
        return file->in.fail() ? nullptr : file.release();
    } catch (...) {
        return nullptr;
    }
}
int ReadFont(void *buf, fluid_long_long_t count, void *handle)
{
    if (count < 0)
        return FLUID_FAILED;
    auto &file = *static_cast<FontFile *>(handle);
    file.load->bytes += size_t(count);
    return ReadBytes(file.in, static_cast<ALubyte *>(buf), size_t(count)) == size_t(count) ? FLUID_OK
                                                                                          : FLUID_FAILED;
}
int SeekFont(void *handle, fluid_long_long_t offset, int origin)
{
    return SeekInput(static_cast<FontFile *>(handle)->in, offset, origin) < 0 ? FLUID_FAILED : FLUID_OK;
}
fluid_long_long_t TellFont(void *handle)
{
    std::streamoff at = static_cast<FontFile *>(handle)->in.tellg();
    return at < 0 ? FLUID_FAILED : fluid_long_long_t(at);
}
int CloseFont(void *handle)
{
    delete static_cast<FontFile *>(handle);
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
    FontCache &cache = *TheCache.cache;
    if (std::shared_ptr<Font> held = cache.Find(name))
        return held;
    std::lock_guard<std::recursive_mutex> lock(loadMutex);
    // Loaded by another thread while this one waited?
    if (std::shared_ptr<Font> held = cache.Find(name))
        return held;
    // The thread count is the calling thread's own OpenMP setting, so it
    // is put back for the application's code.
    struct Scope {
        Scope(FluidLib &lib, FontLoad &load) : lib(lib)
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
    FontLoad load = {"\x1bnuvex-soundfont-" + std::to_string(++loads), &name};
    std::shared_ptr<Font> font;
    {
        Scope scope(*this, load);
        font = std::make_shared<Font>(Get());
        fluid_sfloader_t *loader = font->owner ? new_fluid_defsfloader(ownerSettings) : nullptr;
        if (loader) {
            fluid_sfloader_set_callbacks(loader, OpenFont, ReadFont, SeekFont, TellFont, CloseFont);
            fluid_synth_add_sfloader(font->owner, loader);
            int id = fluid_synth_sfload(font->owner, load.token.c_str(), 0);
            font->sfont = id == FLUID_FAILED ? nullptr : fluid_synth_get_sfont_by_id(font->owner, id);
        }
    }
    if (!font->sfont)
        return nullptr;
    return cache.Add(name, std::move(font), load.bytes);
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
// It is made, with its font, away from the library's lock: only finished
// synthesisers are swapped into a stream, under it. Every call on it holds
// its font's `use` lock, for one call or one block at a time: updates
// take it too.
class Synth {
public:
    Synth(std::shared_ptr<FluidLib> lib, std::shared_ptr<Font> font) : lib(std::move(lib)), font(std::move(font))
    {
        {
            std::lock_guard<std::mutex> life(this->lib->lifeMutex);
            synth = this->lib->new_fluid_synth(this->lib->settings);
        }
        if (!synth)
            return;
        std::lock_guard<std::mutex> use(this->font->use);
        this->lib->fluid_synth_add_sfont(synth, this->font->sfont);
        this->lib->fluid_synth_program_reset(synth);
    }
    ~Synth()
    {
        if (!synth)
            return;
        // Deleting the synthesiser stops its voices, which lets go of the
        // font's samples; only then may the font go (the handle, after this).
        std::lock_guard<std::mutex> use(font->use);
        lib->fluid_synth_remove_sfont(synth, font->sfont);
        std::lock_guard<std::mutex> life(lib->lifeMutex);
        lib->delete_fluid_synth(synth);
    }
    Synth(const Synth &) = delete;
    Synth &operator=(const Synth &) = delete;

    bool ok() const { return synth != nullptr; }
    fluid_synth_t *get() const { return synth; }
    FluidLib &Lib() const { return *lib; }
    // What a call on the synthesiser holds.
    std::unique_lock<std::mutex> Hold() const { return std::unique_lock<std::mutex>(font->use); }

    // Back to the state of a new synthesiser: no voice, controller or
    // effect tail carries over, and the next frame starts a block, so every
    // pass renders the same samples.
    void Reset()
    {
        {
            auto hold = Hold();
            lib->fluid_synth_system_reset(synth);
        }
        blockUsed = BlockFrames;
    }

    // A voice starts the first note it ever plays a little differently
    // from every later one, which a reset cannot undo: every voice plays a
    // note once, unheard, so that the first pass renders what later passes
    // do (voices of keys or channels the font has no instrument for stay
    // unplayed). Ends reset, its voices stopped. The font is held one note
    // at a time: the update thread may be rendering with it.
    void WarmVoices()
    {
        const int voices = lib->fluid_synth_get_polyphony(synth);
        for (int note = 0; note < 16 * 128 && lib->fluid_synth_get_active_voice_count(synth) < voices; note++) {
            auto hold = Hold();
            lib->fluid_synth_noteon(synth, note / 128, note % 128, 100);
        }
        Render(nullptr, BlockFrames);
        Silence();
        // Reset once more, rendering nothing after, as a rewind does: the
        // effect units go on changing by fractions of a step as blocks are
        // rendered after a reset, and a note in the first tenth of a second
        // came out a step off in places on the first pass alone.
        Reset();
    }

    // Reset, and a few blocks rendered, unheard: stopped voices let go of
    // their samples only as the synthesiser renders on.
    void Silence()
    {
        Reset();
        Render(nullptr, 3 * BlockFrames);
    }

    // Renders, unheard, the block that holds `frame` up to it, so that the
    // synthesiser goes on as one that had rendered from the start.
    void EnterBlockAt(nuvexUInt64 frame) { Render(nullptr, frame % BlockFrames); }

    // FluidSynth takes events at the start of a block of 64 frames; the
    // blocks are rendered whole here so that a reset can drop what is left
    // of one. Its 16-bit output dithers from a position a reset keeps, so
    // the conversion is done here, the same every time. Null `out`: unheard.
    // Runs of whole blocks go in one call, rendered into `run`: FluidSynth
    // then takes each voice through all of them at once, a fifth faster
    // than block by block, with the same samples.
    void Render(int16_t *out, nuvexUInt64 frames)
    {
        while (frames > 0) {
            if (blockUsed == BlockFrames && frames >= BlockFrames) {
                const int take = int(std::min<nuvexUInt64>(frames / BlockFrames, RunBlocks)) * BlockFrames;
                {
                    auto hold = Hold();
                    lib->fluid_synth_write_float(synth, take, run.data(), 0, 2, run.data(), 1, 2);
                }
                out = Convert(run.data(), take, out);
                frames -= nuvexUInt64(take);
                continue;
            }
            if (blockUsed == BlockFrames) {
                auto hold = Hold();
                lib->fluid_synth_write_float(synth, BlockFrames, block, 0, 2, block, 1, 2);
                blockUsed = 0;
            }
            const int take = int(std::min<nuvexUInt64>(frames, BlockFrames - blockUsed));
            out = Convert(block + blockUsed * 2, take, out);
            blockUsed += take;
            frames -= nuvexUInt64(take);
        }
    }

private:
    static constexpr int BlockFrames = 64;
    // The longest run rendered in one call (and under the font's lock):
    // 93 ms of sound, about a millisecond's work.
    static constexpr int RunBlocks = 64;
    static int16_t *Convert(const float *from, int frames, int16_t *out)
    {
        for (int i = 0; out && i < frames * 2; i++) {
            const float v = from[i] * 32767.0f;
            *out++ = int16_t(std::lrint(std::max(-32768.0f, std::min(32767.0f, v))));
        }
        return out;
    }
    std::shared_ptr<FluidLib> lib;
    std::shared_ptr<Font> font;
    fluid_synth_t *synth = nullptr;
    float block[BlockFrames * 2] = {};
    int blockUsed = BlockFrames;
    std::vector<float> run = std::vector<float>(RunBlocks * BlockFrames * 2);
};

// ---- The file -----------------------------------------------------------------

struct TempoChange {
    nuvexUInt64 tick;
    uint32_t microsPerQuarter;
};

// Where a track's bytes lie in the file image.
struct TrackSpan {
    uint32_t begin, end;
};

// A track read as it plays, event by event, straight from the file's bytes:
// the events are never copied out, so a parsed file takes little more than
// its own size whatever it holds.
struct TrackCursor {
    nuvexUInt64 tick;
    uint32_t at;
    uint8_t running, status, data1, data2; // the channel event it stands at
};

// Data bytes that follow a channel status byte.
int DataBytes(uint8_t status)
{
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

// The track's bytes end at `end`.
bool ReadByte(const ALubyte *file, uint32_t end, TrackCursor &c, uint8_t *b)
{
    if (c.at >= end)
        return false;
    *b = file[c.at++];
    return true;
}

// A variable-length quantity: at most four bytes, 28 bits.
bool ReadNumber(const ALubyte *file, uint32_t end, TrackCursor &c, uint32_t *value)
{
    *value = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t b;
        if (!ReadByte(file, end, c, &b))
            return false;
        *value = *value << 7 | (b & 0x7F);
        if (!(b & 0x80))
            return true;
    }
    return false;
}

// A meta event as a track holds it: its body lies in the file's bytes.
struct MetaEvent {
    nuvexUInt64 tick;
    uint8_t type;
    const ALubyte *body;
    uint32_t length;
    bool IsTempo() const { return type == 0x51 && length >= 3; }
    uint32_t MicrosPerQuarter() const { return uint32_t(body[0]) << 16 | uint32_t(body[1]) << 8 | body[2]; }
};

// Moves the cursor to the track's next channel event, passing meta events
// (handed to onMeta) and system exclusive ones; false at the track's end,
// where its tick is where the track ends. A damaged track ends where its
// damage starts.
template <typename OnMeta>
bool NextEvent(const ALubyte *file, uint32_t end, TrackCursor &c, OnMeta &&onMeta)
{
    for (;;) {
        uint32_t delta;
        uint8_t status;
        if (!ReadNumber(file, end, c, &delta) || !ReadByte(file, end, c, &status))
            return false;
        c.tick += delta;
        if (status == 0xFF || status == 0xF0 || status == 0xF7) {
            // Meta and system exclusive events. Running status carries on
            // past them: real files rely on it, though the format says not.
            uint8_t type = 0;
            uint32_t length;
            if ((status == 0xFF && !ReadByte(file, end, c, &type)) || !ReadNumber(file, end, c, &length))
                return false;
            const uint32_t body = c.at;
            if (end - c.at < length)
                return false;
            c.at += length;
            if (status == 0xFF && type == 0x2F)
                return false;
            if (status == 0xFF)
                onMeta(MetaEvent{c.tick, type, file + body, length});
            continue;
        }
        if (status < 0x80) {
            if (!c.running)
                return false;
            c.at--; // the byte was data, under running status
            status = c.running;
        } else if (status >= 0xF0) {
            return false; // system messages have no place in a file
        }
        c.running = c.status = status;
        uint8_t data[2] = {0, 0};
        for (int i = 0; i < DataBytes(status); i++)
            if (!ReadByte(file, end, c, &data[i]) || data[i] >= 0x80)
                return false;
        c.data1 = data[0], c.data2 = data[1];
        return true;
    }
}

// For the reads that play a track: its tempo changes are in the tempo map.
void IgnoreMeta(const MetaEvent &) {}

// The loop a file's markers name: the first "loopStart" and the first
// "loopEnd" in file order (track by track).
struct LoopMarkers {
    bool hasStart = false, hasEnd = false;
    nuvexUInt64 startTick = 0, endTick = 0;
};

// Whether a text event says `word`, in any case: files are written by hand
// as often as by programs.
bool TextIs(const MetaEvent &m, const char *word)
{
    const size_t length = strlen(word);
    if (m.length != length)
        return false;
    for (size_t i = 0; i < length; i++)
        if (tolower(m.body[i]) != tolower(static_cast<unsigned char>(word[i])))
            return false;
    return true;
}

// The marker, track name or copyright notice a meta event may be. The first
// of each counts: in a type-1 file the first track's name is the song's.
void ReadSongText(const MetaEvent &m, SoundTags &tags, LoopMarkers &markers)
{
    if (m.type == 0x06 && !markers.hasStart && TextIs(m, "loopStart")) {
        markers.hasStart = true, markers.startTick = m.tick;
    } else if (m.type == 0x06 && !markers.hasEnd && TextIs(m, "loopEnd")) {
        markers.hasEnd = true, markers.endTick = m.tick;
    } else if (m.type == 0x02 || m.type == 0x03) {
        const char *name = m.type == 0x03 ? tagname::Title : tagname::Copyright;
        // Far longer than any real name, short enough that a file of one
        // huge name parses in the memory any other file does; cut where a
        // character starts, so valid UTF-8 stays valid.
        constexpr size_t MaxText = 4096;
        size_t length = std::min<size_t>(m.length, MaxText);
        for (int back = 0; back < 3 && length < m.length && length > 0 && (m.body[length] & 0xC0) == 0x80; back++)
            length--;
        const std::string text = LegacyTextToUtf8(reinterpret_cast<const char *>(m.body), length);
        if (!text.empty())
            tags.Add(name, text);
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
// tick): exact, without drift, saturating at FrameCeiling. Asked for ticks
// in order, from the start again after Restart.
class TempoMap {
public:
    TempoMap(uint16_t division, const std::vector<TempoChange> &changes)
        : division(division), changes(&changes)
    {
    }
    void Restart()
    {
        next = 0, segmentTick = 0, tempo = 500000, elapsed = 0;
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
        const std::vector<TempoChange> &list = *changes;
        while (next < list.size() && list[next].tick <= tick) {
            elapsed += (unsigned __int128)(list[next].tick - segmentTick) * tempo;
            segmentTick = list[next].tick;
            tempo = list[next++].microsPerQuarter;
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
    const std::vector<TempoChange> *changes;
    size_t next = 0;
    nuvexUInt64 segmentTick = 0;
    uint32_t tempo = 500000; // 120 beats a minute until told otherwise
    unsigned __int128 elapsed = 0;
};

// Reads the whole input into `image`; false when it holds more than a MIDI
// file may. An input that tells its size is read in one piece: a buffer
// grown by doubling holds up to six times the file at once.
bool ReadWholeFile(std::istream &in, std::vector<ALubyte> &image)
{
    in.clear();
    const std::streamoff size = in.seekg(0, std::ios::end) ? std::streamoff(in.tellg()) : -1;
    in.clear();
    if (!in.seekg(0) || size > std::streamoff(MaxMidiSize))
        return false;
    if (size <= 0) {
        image.resize(4096);
        return ReadRest(in, image, 0, MaxMidiSize);
    }
    image.resize(size_t(size));
    image.resize(ReadBytes(in, image.data(), image.size()));
    return true;
}

// What a parsed file is: its bytes, where its tracks lie, its tempo map.
struct Song {
    std::vector<ALubyte> image;
    std::vector<TrackSpan> tracks; // those that hold channel events
    std::vector<TempoChange> tempos;
    uint16_t division = 0;
    nuvexUInt64 end = 0; // in frames
};

// The channel events of all tracks in playing order: by tick, and events of
// one tick in file order (track by track). A heap of the tracks' cursors,
// so it costs a few bytes per track, none per event. Every track it is
// given holds channel events.
class EventMerge {
public:
    explicit EventMerge(const Song &song) : song(song), map(song.division, song.tempos) { Restart(); }
    void Restart()
    {
        cursors.clear();
        heap.clear();
        map.Restart();
        cursors.reserve(song.tracks.size());
        heap.reserve(song.tracks.size());
        for (const TrackSpan &span : song.tracks) {
            cursors.push_back({0, span.begin, 0, 0, 0, 0});
            if (NextEvent(song.image.data(), span.end, cursors.back(), IgnoreMeta))
                heap.push_back(uint32_t(cursors.size() - 1));
        }
        std::make_heap(heap.begin(), heap.end(), Later{cursors});
        FindFrame();
    }
    bool Done() const { return heap.empty(); }
    const TrackCursor &Head() const { return cursors[heap.front()]; }
    // The head event's frame; the song's end once all are done.
    nuvexUInt64 Frame() const { return frame; }
    void Advance()
    {
        std::pop_heap(heap.begin(), heap.end(), Later{cursors});
        if (NextEvent(song.image.data(), song.tracks[heap.back()].end, cursors[heap.back()], IgnoreMeta))
            std::push_heap(heap.begin(), heap.end(), Later{cursors});
        else
            heap.pop_back();
        FindFrame();
    }

private:
    struct Later {
        const std::vector<TrackCursor> &cursors;
        bool operator()(uint32_t a, uint32_t b) const
        {
            return cursors[a].tick != cursors[b].tick ? cursors[a].tick > cursors[b].tick : a > b;
        }
    };
    void FindFrame() { frame = heap.empty() ? song.end : map.FrameAt(Head().tick); }
    const Song &song;
    TempoMap map;
    std::vector<TrackCursor> cursors;
    std::vector<uint32_t> heap;
    nuvexUInt64 frame = 0;
};

bool IsNote(const TrackCursor &e)
{
    return (e.status & 0xF0) == 0x80 || (e.status & 0xF0) == 0x90;
}

void Dispatch(Synth &target, const TrackCursor &e)
{
    FluidLib &lib = target.Lib();
    fluid_synth_t *s = target.get();
    const int channel = e.status & 0x0F;
    auto hold = target.Hold();
    switch (e.status & 0xF0) {
    case 0x80: lib.fluid_synth_noteoff(s, channel, e.data1); break;
    case 0x90:
        if (e.data2 == 0)
            lib.fluid_synth_noteoff(s, channel, e.data1);
        else
            lib.fluid_synth_noteon(s, channel, e.data1, e.data2);
        break;
    case 0xA0: lib.fluid_synth_key_pressure(s, channel, e.data1, e.data2); break;
    case 0xB0: lib.fluid_synth_cc(s, channel, e.data1, e.data2); break;
    case 0xC0: lib.fluid_synth_program_change(s, channel, e.data1); break;
    case 0xD0: lib.fluid_synth_channel_pressure(s, channel, e.data1); break;
    case 0xE0: lib.fluid_synth_pitch_bend(s, channel, e.data1 | e.data2 << 7); break;
    }
}

} // namespace

class midiStream final : public nuvexStream {
public:
    explicit midiStream(std::istream *input);

    bool IsValid() override { return merge != nullptr; }
    bool GetFormat(ALenum *fmt, ALuint *freq, ALuint *align) override;
    ALuint GetData(ALubyte *data, ALuint bytes) override;
    bool Rewind() override;
    bool Seek(nuvexUInt64 to, nuvexUInt64 &at) override;
    bool SeeksDirectly() override { return true; }
    bool SetPatchset(const char *patchset) override;
    nuvexUInt64 GetLength() override { return song.end < FrameCeiling ? song.end : 0; }
    nuvexUInt64 MaxExpansion() override { return nuvexUInt64(1) << 30; }
    bool ReadyForLoad(bool whole) override;

    static void Init() {}
    static void Deinit() {}

private:
    bool Parse(size_t smfAt, size_t length);
    LoopPoints MarkedLoop(const LoopMarkers &markers) const;
    bool LoadDefaultFont();
    bool FontMayCome();
    bool Install(std::shared_ptr<Font> font, bool keepAFontInUse);
    void Consume(Synth *target, bool notes);
    void Restart();

    std::shared_ptr<FluidLib> lib;
    Song song;
    std::unique_ptr<EventMerge> merge;
    // Null until the stream has a font. Replaced, and read by the updates,
    // only under the library's lock.
    std::unique_ptr<Synth> synth;
    nuvexUInt64 playFrame = 0;
    // How many events of the merge were used since the start, and how
    // often the stream went back to it: what a new synthesiser is brought to.
    size_t consumed = 0;
    unsigned long restarts = 0;
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
    // The whole input, when it is small enough to be a MIDI file; the
    // events are read from it as they play.
    if (!ReadWholeFile(*input, song.image))
        return;
    size_t length = 0;
    const ALubyte *smf = FindSmf(song.image, &length);
    if (!smf || !Parse(size_t(smf - song.image.data()), length) || !(lib = FluidLib::Get()))
        return;
    merge.reset(new EventMerge(song));
}

bool midiStream::Parse(size_t smfAt, size_t length)
{
    const ALubyte *smf = song.image.data() + smfAt;
    if (length < 14 || BigEndian32(smf + 4) < 6)
        return false;
    const uint16_t format = uint16_t(smf[8] << 8 | smf[9]);
    song.division = uint16_t(smf[12] << 8 | smf[13]);
    // Format 2 (independent sequences) is not played.
    if (format > 1 || (song.division & 0x7FFF) == 0 || ((song.division & 0x8000) && (song.division & 0xFF) == 0))
        return false;
    // Every track chunk present is read, whatever the header's count says:
    // a first pass learns where each ends and counts the tempo changes, a
    // second collects them (a vector grown as they come would hold three
    // times their size at once).
    auto eachTrack = [&](auto &&read) {
        for (size_t at = 8 + size_t(BigEndian32(smf + 4)); at + 8 <= length && at + 8 > at;) {
            const size_t body = at + 8, chunk = std::min<size_t>(BigEndian32(smf + at + 4), length - body);
            if (memcmp(smf + at, "MTrk", 4) == 0)
                read(TrackSpan{uint32_t(smfAt + body), uint32_t(smfAt + body + chunk)});
            at = body + chunk;
        }
    };
    nuvexUInt64 endTick = 0;
    size_t tempoCount = 0;
    LoopMarkers markers;
    auto countTempoReadText = [&](const MetaEvent &m) {
        tempoCount += m.IsTempo() ? 1 : 0;
        ReadSongText(m, tags, markers);
    };
    eachTrack([&](const TrackSpan &span) {
        TrackCursor c = {0, span.begin, 0, 0, 0, 0};
        bool events = false;
        while (NextEvent(song.image.data(), span.end, c, countTempoReadText))
            events = true;
        endTick = std::max(endTick, c.tick);
        if (events)
            song.tracks.push_back(span);
    });
    song.tempos.reserve(tempoCount);
    eachTrack([&](const TrackSpan &span) {
        TrackCursor c = {0, span.begin, 0, 0, 0, 0};
        auto keep = [&](const MetaEvent &m) {
            if (m.IsTempo())
                song.tempos.push_back({m.tick, m.MicrosPerQuarter()});
        };
        while (NextEvent(song.image.data(), span.end, c, keep)) {
        }
    });
    // Tempo changes of one tick apply in file order: track by track.
    auto earlier = [](const TempoChange &a, const TempoChange &b) { return a.tick < b.tick; };
    if (!std::is_sorted(song.tempos.begin(), song.tempos.end(), earlier))
        std::stable_sort(song.tempos.begin(), song.tempos.end(), earlier);
    song.end = TempoMap(song.division, song.tempos).FrameAt(endTick);
    loop = MarkedLoop(markers);
    return true;
}

// No start marker: no loop (an end alone names none); no end marker: to the
// song's end. An end at or before the start is dropped with every other
// loop that cannot play (SettleFileLoop).
LoopPoints midiStream::MarkedLoop(const LoopMarkers &markers) const
{
    if (!markers.hasStart)
        return {};
    const nuvexUInt64 start = TempoMap(song.division, song.tempos).FrameAt(markers.startTick);
    return {start, markers.hasEnd ? TempoMap(song.division, song.tempos).FrameAt(markers.endTick) : 0};
}

bool midiStream::GetFormat(ALenum *fmt, ALuint *freq, ALuint *align)
{
    *fmt = AL_FORMAT_STEREO16;
    *freq = OutputRate;
    *align = 4;
    return true;
}

// Uses the merge's head event, handing it to `target` (notes only when
// `notes`), and moves on.
void midiStream::Consume(Synth *target, bool notes)
{
    if (target && (notes || !IsNote(merge->Head())))
        Dispatch(*target, merge->Head());
    merge->Advance();
    consumed++;
}

void midiStream::Restart()
{
    merge->Restart();
    if (synth)
        synth->Reset();
    playFrame = 0;
    consumed = 0;
    restarts++;
}

// Whether the stream has no font yet but may get the default one.
bool midiStream::FontMayCome()
{
    std::string name;
    return !defaultTried && lib->DefaultFontName(&name);
}

// Puts a new synthesiser with `font` in, brought to where the stream stands
// by the events used so far, without their notes. It is made and brought
// most of the way without the library's lock; under it, only the events
// used meanwhile are added and the synthesisers swapped. With
// `keepAFontInUse`, a stream that got a font meanwhile keeps it.
bool midiStream::Install(std::shared_ptr<Font> font, bool keepAFontInUse)
{
    std::unique_ptr<Synth> fresh(new Synth(lib, std::move(font)));
    if (!fresh->ok())
        return Fail("SoundFont load failed", false);
    size_t seen;
    unsigned long pass;
    fresh->WarmVoices();
    {
        StreamPlayLock lock;
        seen = consumed, pass = restarts;
    }
    EventMerge replay(song);
    auto bringUp = [&](size_t from, size_t to) {
        for (; from < to && !replay.Done(); from++, replay.Advance())
            if (!IsNote(replay.Head()))
                Dispatch(*fresh, replay.Head());
    };
    bringUp(0, seen);
    {
        StreamPlayLock lock;
        if (keepAFontInUse && synth)
            return true;
        if (pass != restarts) {
            fresh->Reset();
            replay.Restart();
            seen = 0;
        }
        bringUp(seen, consumed);
        // On the blocks the old one rendered: events keep their timing.
        fresh->EnterBlockAt(playFrame);
        synth.swap(fresh);
        if (fresh)
            fresh->Silence();
    }
    // The old synthesiser goes here, without the library's lock: freeing
    // its font (when the cache lets it go) waits for loads in progress.
    return true;
}

bool midiStream::LoadDefaultFont()
{
    {
        StreamPlayLock lock;
        if (synth)
            return true;
        if (defaultTried)
            return Fail("No SoundFont available", false);
        defaultTried = true;
    }
    std::string name;
    std::shared_ptr<Font> font;
    if (!lib->DefaultFontName(&name) || !(font = lib->LoadFont(name)))
        return Fail("No SoundFont available", false);
    return Install(std::move(font), true);
}

bool midiStream::ReadyForLoad(bool whole)
{
    if (!LoadDefaultFont())
        return false;
    if (whole && song.end > MaxWholeLoadFrames)
        return Fail("MIDI file too long to load whole", false);
    return true;
}

ALuint midiStream::GetData(ALubyte *data, ALuint bytes)
{
    // Fonts are loaded only by a thread that holds no lock: never in an
    // update, where a played stream has its font already.
    if (!synth && (StreamPlayDepth() > 0 || !LoadDefaultFont()))
        return Fail("No SoundFont available", 0);
    const nuvexUInt64 wanted = bytes / 4;
    nuvexUInt64 done = 0;
    while (done < wanted && playFrame < song.end) {
        while (!merge->Done() && merge->Frame() <= playFrame)
            Consume(synth.get(), true);
        // Up to the next event, which is handed over at its own frame. The
        // synthesiser takes events at the start of a block of 64 frames, so
        // it sounds up to 63 frames later: the same in every rendering,
        // however the output is split.
        nuvexUInt64 frames = std::min({wanted - done, merge->Frame() - playFrame, nuvexUInt64(1) << 16});
        synth->Render(reinterpret_cast<int16_t *>(data) + done * 2, frames);
        done += frames;
        playFrame += frames;
    }
    return ALuint(done * 4);
}

bool midiStream::Rewind()
{
    Restart();
    return true;
}

// The events before the frame are handed over without their notes, and
// nothing is rendered but the start of the frame's block: the cost grows
// with the events, not with the time. Notes that began earlier are not
// heard; from there on the output is what playing from the start gives.
bool midiStream::Seek(nuvexUInt64 to, nuvexUInt64 &at)
{
    if (!synth && !FontMayCome())
        return Fail("No SoundFont available", false);
    if (to >= song.end)
        return Fail("Position past the end", false);
    Restart();
    at = 0;
    // As in play, the frame's block takes the events up to its start.
    const nuvexUInt64 blockStart = to - to % 64;
    while (!merge->Done() && merge->Frame() <= blockStart && merge->Frame() < to)
        Consume(synth.get(), false);
    if (synth)
        synth->EnterBlockAt(to);
    while (!merge->Done() && merge->Frame() < to)
        Consume(synth.get(), false);
    playFrame = at = to;
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
    return Install(std::move(font), false);
}

void EmptySoundFontCache() { TheCache.cache->Empty(false); }
void LoadDecoderLibraries() { FluidLib::Get(); }

static DecoderDecl<midiStream, 0> midiStream_decoder;
const void *nuvex_init_midi() { return &midiStream_decoder; }
