/* Prints the library version and the output devices OpenAL offers. */
#include "nuvex.h"

#include <stdio.h>

int main(void)
{
    ALuint major = 0, minor = 0;
    nuvexGetVersion(&major, &minor);
    printf("nuvex %u.%u\n", major, minor);

    ALCsizei count = 0;
    const ALCchar **names = nuvexGetDeviceNames(AL_TRUE, &count);
    if (!names) {
        printf("no output devices: %s\n", nuvexGetErrorString());
        return 0;
    }
    printf("%d output device(s):\n", (int)count);
    for (ALCsizei i = 0; i < count; i++)
        printf("  %s\n", names[i]);
    nuvexFreeDeviceNames(names);
    return 0;
}
