// The public header as a C++ program sees it: the C99 program compiled as
// C++. Linking proves the functions have C linkage; the stream handle is an
// opaque class that applications only point at.
#include <type_traits>

#include "header_c99.c"

static_assert(std::is_class<nuvexStream>::value, "nuvexStream is a class in C++");
static_assert(std::is_same<nuvexInt64, int64_t>::value && std::is_same<nuvexUInt64, uint64_t>::value,
              "64-bit types of the interface");
static_assert(std::is_same<decltype(&nuvexGetDeviceNames), const ALCchar **(*)(ALCboolean, ALCsizei *)>::value,
              "device names signature");
static_assert(std::is_same<decltype(&nuvexPlaySourceStream),
                           ALboolean (*)(ALuint, nuvexStream *, ALsizei, ALsizei,
                                         void (*)(void *, ALuint), void *)>::value,
              "stream playback signature");
