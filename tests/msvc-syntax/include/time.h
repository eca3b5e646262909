/* msvc-syntax check only. Wine's C runtime <time.h> lacks C11's struct timespec, which
 * libc++'s threading support names. Defined here after Wine's own header. */
#pragma once
#include_next <time.h>

#ifndef _TIMESPEC_DEFINED
#define _TIMESPEC_DEFINED
struct timespec {
    time_t tv_sec;
    long tv_nsec;
};
#endif
