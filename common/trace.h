// Trace output and error text.
//
// A process-wide trace switch (off at start); traceMessage writes one time-stamped line to the
// error stream while it is on; printSystemError writes a label and the platform's text for an
// error code whatever the switch. All program output goes through the two console streams,
// which are standard output and standard error until the service host redirects them.
#pragma once

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "platform/platform.h"

#if defined(__MINGW32__)
#define VORNEL_PRINTF(format_index, first_argument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, first_argument)))
#elif defined(__GNUC__) || defined(__clang__)
#define VORNEL_PRINTF(format_index, first_argument) __attribute__((format(printf, format_index, first_argument)))
#else
#define VORNEL_PRINTF(format_index, first_argument)
#endif

namespace vornel {

void enableTrace();
void disableTrace();
bool isTraceOn();

// The time, " - ", the expanded message and one line feed, written whole and flushed.
void traceMessage(const char* format, ...) VORNEL_PRINTF(1, 2);

// "%s: %s\n" with the system's text for the code, or "%s: %d\n" when the system has none.
void printSystemError(Platform& os, const char* label, ErrorCode code);

// 1 when the text is exactly "on", else 0 (also when absent).
int isOn(const std::optional<std::string>& text);

// Service host: once, with the trace on and both paths present, points the error stream at
// the stderr path and the output stream at the stdout path, both appended to.
void redirectTraceOutput(Platform& os, const std::optional<std::string>& stdoutPath,
                         const std::optional<std::string>& stderrPath);

// Service host: closes the redirected streams, so that their files can be renamed; the trace
// stays on, and redirectTraceOutput points the streams at the files again. What is written
// in between is lost.
void closeTraceOutput();

// Info tool: the count and every argument of a list, one trace line each.
void traceParameters(const char* label, int count, char** list);

// The classic 24-character form "Tue Dec  8 01:02:03 2026" (the day padded with a blank).
std::string formatTraceTime(const std::tm& time);

// The console streams and formatted writes onto them. A stream that could not be reopened
// is null, and what is written to it is lost.
std::FILE* consoleOut();
std::FILE* consoleErr();
void writeOut(const char* format, ...) VORNEL_PRINTF(1, 2);
void writeErr(const char* format, ...) VORNEL_PRINTF(1, 2);

// "<null>" in place of an absent text.
const char* orNull(const std::optional<std::string>& text);
const char* orNull(const char* text);

// Back to the state of a new process (switch off, nothing redirected), writing to the given
// streams. For programs run in-process by tests.
void resetTrace(std::FILE* out, std::FILE* err);

}  // namespace vornel
