/* msvc-syntax check only; forced in (/FI) before every translation unit. Wine's <winnt.h>
 * defines _InterlockedCompareExchange128 as an inline function for compilers other than
 * MSVC, and clang-cl, which has that function built in, rejects the definition. This name
 * turns Wine's definition into one of an ordinary function; nothing of ours calls it. */
#pragma once
#define _InterlockedCompareExchange128 vornel_wine_InterlockedCompareExchange128
