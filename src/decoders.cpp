// Registration invariants are checked with assert in every build.
#undef NDEBUG
// The decoder registry and the decoder search.
#include "decoders.h"

#include <cassert>
#include <utility>

namespace {
// Made before the decoders register and destroyed after the unload sequence,
// whose end-of-play callbacks may still look for a decoder.
Decoder::Registry FuncList __attribute__((init_priority(103)));
} // namespace

Decoder::Registry &Decoder::AddList(DecoderFactory func, int priority)
{
    if (func) {
        assert(SearchSecond(FuncList.begin(), FuncList.end(), func) == FuncList.end());
        FuncList.insert(std::make_pair(priority, func));
    }
    return FuncList;
}

namespace {
// Tries the application decoders from `from` up to (not including) those of
// index `stopAt`; `from` is left where the walk stopped.
template <typename Source>
StreamPtr TryInstalled(const Source &source, std::map<int, UserCallbacks>::iterator &from,
                       bool negativeOnly)
{
    auto &installed = InstalledCallbacks();
    for (; from != installed.end(); ++from) {
        if (negativeOnly && from->first >= 0)
            break;
        StreamPtr stream(new customStream(source, from->second));
        if (stream->IsValid()) {
            ++from;
            return stream;
        }
    }
    return nullptr;
}

std::unique_ptr<InStream> OpenSource(const char *filename)
{
    return std::unique_ptr<InStream>(new InStream(filename));
}
std::unique_ptr<InStream> OpenSource(const MemDataInfo &memory)
{
    return std::unique_ptr<InStream>(new InStream(memory));
}

StreamPtr TryRegistered(std::unique_ptr<InStream> &input)
{
    // A snapshot: the search walks its own copy, highest priority first and,
    // among equal priorities, the latest registration first.
    std::vector<DecoderFactory> factories;
    const Decoder::Registry &registry = Decoder::GetList();
    for (auto it = registry.rbegin(); it != registry.rend(); ++it)
        factories.push_back(it->second);

    for (DecoderFactory factory : factories) {
        input->clear();
        input->seekg(0, std::ios_base::beg);
        std::unique_ptr<nuvexStream> stream = factory(input.get());
        if (stream) {
            stream->SettleFileLoop();
            input.release();
            return StreamPtr(stream.release());
        }
    }
    return nullptr;
}

template <typename Source>
StreamPtr get_stream_decoder(const Source &source)
{
    auto walk = InstalledCallbacks().begin();
    if (StreamPtr stream = TryInstalled(source, walk, true))
        return stream;

    std::unique_ptr<InStream> input = OpenSource(source);
    if (input->fail()) {
        SetError("Failed to open file");
        input.reset();
    } else if (StreamPtr stream = TryRegistered(input)) {
        return stream;
    } else {
        SetError("Unsupported type");
        input.reset();
    }
    return TryInstalled(source, walk, false);
}
} // namespace

StreamPtr create_stream(const char *filename) { return get_stream_decoder(filename); }

StreamPtr create_stream(const MemDataInfo &memory) { return get_stream_decoder(memory); }

StreamPtr create_stream(void *userdata, ALenum format, ALuint frequency, const UserCallbacks &cb)
{
    return StreamPtr(new customStream(userdata, format, frequency, cb));
}
