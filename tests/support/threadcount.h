// The threads of this process, for tests that check none is left behind.
// Header-only: the unload test cannot link the support library (it would
// link the library it unloads).
#pragma once

#include <dirent.h>

inline int ThreadCount()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}
