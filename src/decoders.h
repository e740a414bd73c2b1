// The decoder registry, and the search that turns a file, a memory image or
// a callback into a stream: application decoders first or last by their
// index, the built-in ones by priority between them.
#pragma once

#include "appdecoders.h"
#include "streamdec.h"

#include <map>
#include <memory>

using DecoderFactory = std::unique_ptr<nuvexStream> (*)(std::istream *input);

class Decoder {
public:
    using Registry = std::multimap<int, DecoderFactory>;
    static Registry &AddList(DecoderFactory factory = nullptr, int priority = 0);
    static Registry &GetList() { return AddList(nullptr, 0); }
};

template <typename Iter, typename Value>
Iter SearchSecond(Iter first, Iter last, const Value &value)
{
    for (; first != last; ++first)
        if (first->second == value)
            return first;
    return last;
}

template <typename T, int prio>
class DecoderDecl : public Decoder {
public:
    DecoderDecl()
    {
        T::Init();
        AddList(Factory, prio);
    }
    ~DecoderDecl()
    {
        Registry &list = AddList(nullptr, 0);
        auto it = SearchSecond(list.begin(), list.end(), DecoderFactory(Factory));
        if (it != list.end())
            list.erase(it);
        T::Deinit();
    }
    static std::unique_ptr<nuvexStream> Factory(std::istream *input)
    {
        std::unique_ptr<nuvexStream> stream(new T(input));
        if (stream->IsValid())
            return stream;
        return nullptr;
    }
};

// Link anchors of the built-in decoders.
const void *nuvex_init_wav();
const void *nuvex_init_aiff();
const void *nuvex_init_vorbisfile();
const void *nuvex_init_modplug();
const void *nuvex_init_sndfile();
const void *nuvex_init_mpg123();
const void *nuvex_init_midi();

// Frees the SoundFonts no stream uses (the MIDI decoder keeps them for
// later loads): the device they were loaded for goes.
void EmptySoundFontCache();
// Loads the libraries the decoders load on first use (FluidSynth), on the
// calling thread, once.
void LoadDecoderLibraries();

// The decoder search: the only ways to obtain a stream.
StreamPtr create_stream(const char *filename);
StreamPtr create_stream(const MemDataInfo &memory);
StreamPtr create_stream(void *userdata, ALenum format, ALuint frequency, const UserCallbacks &cb);

