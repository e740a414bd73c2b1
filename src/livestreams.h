// Live streams: the streams handed to the application, and the coordination
// of each with its playback and with calls from other threads. The lock
// order and the rules of the road are written at the top of livestreams.cpp.
#pragma once

#include "core.h"
#include "streamdec.h"

// Makes a new stream live: from now on its handle is valid until destroyed.
nuvexStream *AdoptStream(StreamPtr stream);
// Stops and destroys every live stream (unload).
void ClearLiveStreams();

// With the library's lock held: whether the handle is a live stream, even
// one another thread borrows; false with "Invalid stream pointer".
bool LiveStream(const nuvexStream *handle);

// With the library's lock held once or more: waits until no other thread
// has the stream borrowed. False, with the message set, when it is not live
// ("Invalid stream pointer") or when the wait is impossible because the
// caller holds the lock more than once (an end-of-play callback):
// `busyMessage` then.
bool AwaitLiveStream(const nuvexStream *handle, const char *busyMessage = "Stream is busy");

// With the library's lock held once, the stream awaited: makes it ready to
// be read (ReadyForLoad), which may be slow (a MIDI stream loads its default
// SoundFont), so borrowed, without the lock. False, with "Invalid stream
// pointer", only when the stream was destroyed meanwhile; a stream that
// cannot be made ready leaves its message for its first read to repeat.
bool ReadyLiveStream(nuvexStream *stream);

// Runs `work(stream)` on a live stream with the library's lock held and no
// other thread using the stream; `failValue` when it cannot (see
// AwaitLiveStream).
template <typename R, typename Work>
R WithLiveStream(nuvexStream *handle, R failValue, Work &&work)
{
    StreamPlayLock lock;
    if (!AwaitLiveStream(handle))
        return failValue;
    return work(*handle);
}
