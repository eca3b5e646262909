/* msvc-syntax check only. Wine's C runtime <ctype.h> lacks the locale variants _islower_l
 * and _isupper_l, which libc++'s <locale> (and so <filesystem>) uses. Declared here after
 * Wine's own header. */
#pragma once
#include_next <ctype.h>

#ifdef __cplusplus
extern "C" {
#endif
int __cdecl _islower_l(int, _locale_t);
int __cdecl _isupper_l(int, _locale_t);
#ifdef __cplusplus
}
#endif
