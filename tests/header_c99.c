/*
 * The public header as a C99 program sees it (and, through header_cpp.cpp,
 * as C++), compiled with -pedantic -Werror: the types it declares, a
 * function of each group taken with its exact type, and a short run that
 * needs no device. Exits with the number of the first check that failed.
 */
#include "nuvex.h"

#include <string.h>

static void Ended(void *userdata, ALuint source) { (void)userdata, (void)source; }

int main(void)
{
    ALuint major = 0, minor = 0;
    nuvexUInt64 (*length)(nuvexStream *) = nuvexGetStreamLength;
    ALboolean (*seek)(nuvexStream *, nuvexUInt64) = nuvexSetStreamPosition;
    nuvexStream *(*stream)(nuvexStreamCallback, void *, ALenum, ALuint, ALsizei, ALsizei, ALuint *) =
        nuvexCreateStreamFromCallback;
    ALboolean (*play)(ALuint, nuvexStream *, ALsizei, ALsizei, nuvexEndOfPlayCallback, void *) =
        nuvexPlaySourceStream;
    ALboolean (*io)(nuvexOpenCallback, nuvexCloseCallback, nuvexReadCallback, nuvexWriteCallback,
                    nuvexSeekCallback) = nuvexSetIOCallbacks;
    nuvexEndOfPlayCallback ended = Ended;
    nuvexGetVersion(&major, &minor);
#if NUVEX_VERSION_MAJOR != 1 || NUVEX_VERSION_MINOR < 3
#error "the header names another version"
#endif
    if (major != NUVEX_VERSION_MAJOR || minor != NUVEX_VERSION_MINOR)
        return 1;
    if (!nuvexSleep(0.0f) || !nuvexGetProcAddress("nuvexSleep") || UsingSTDIO != 1)
        return 2;
    if (nuvexGetProcAddress("nuvexNothing") || strcmp(nuvexGetErrorString(), "Function not found") != 0)
        return 3;
    if (length(NULL) != ~(nuvexUInt64)0 || seek(NULL, 0) || stream(NULL, NULL, 0, 0, 0, 0, NULL) || play(0, NULL, 0, 0, ended, NULL))
        return 4;
    return io(NULL, NULL, NULL, NULL, NULL) ? 0 : 5;
}
