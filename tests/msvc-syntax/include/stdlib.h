/* msvc-syntax check only. Wine's C runtime <stdlib.h> lacks MB_CUR_MAX and the locale
 * variants _strtod_l and _strtof_l, which libc++'s <locale> (and so <filesystem>) uses.
 * Declared here after Wine's own header. */
#pragma once
#include_next <stdlib.h>

#ifndef MB_CUR_MAX
#define MB_CUR_MAX ___mb_cur_max_func()
#endif

#ifdef __cplusplus
extern "C" {
#endif
double __cdecl _strtod_l(const char*, char**, _locale_t);
float __cdecl _strtof_l(const char*, char**, _locale_t);
#ifdef __cplusplus
}
#endif
