// Loading in the background: whole sounds decoded on worker threads, for the
// asynchronous loads (their callbacks run from nuvexUpdate) and the batch
// loads (the caller waits, and decodes too). The queue's lock and its place
// in the library's lock order are described at the top of livestreams.cpp.
#pragma once

#include "core.h"

class ProtectContext;

// With the library's lock held (nuvexUpdate): runs the callbacks of the
// asynchronous loads finished so far, once each, the caller's own context
// put back by `guard` for each. Loads finished while it runs wait for the
// next update.
void DeliverFinishedLoads(ProtectContext &guard);

// Before `context` is destroyed (nuvexShutdownDevice, the context current):
// loads of it not started are cancelled, running ones waited for (only
// their uploads when the caller holds the library's lock: a decode may need
// that lock), buffers loaded but not delivered deleted, and the callbacks
// run with 0 and "Load cancelled". Until ForgetContext, new loads of it end
// at once, cancelled, delivered by a later update.
void CancelLoadsOf(ALCcontext *context);
void ForgetContext(ALCcontext *context);

// Unload: cancels every load and joins the workers; no callback runs, and
// loads asked for afterwards are dropped.
void StopBackgroundLoads();
