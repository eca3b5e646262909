#include "common/trace.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <vector>

namespace vornel {
namespace {

std::atomic<int> g_traceSwitch{0};
std::atomic<int> g_redirected{0};
std::atomic<std::FILE*> g_out{stdout};
std::atomic<std::FILE*> g_err{stderr};
// Keeps each trace line whole when the host's two threads trace at the same moment.
std::mutex g_traceLock;

std::string formatVa(const char* format, va_list args) VORNEL_PRINTF(1, 0);

std::string formatVa(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length <= 0) return std::string();
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<size_t>(length));
}

std::tm localNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    // The Windows C runtime keeps localtime's result per thread.
    if (const std::tm* t = std::localtime(&now)) local = *t;
#else
    localtime_r(&now, &local);
#endif
    return local;
}

}  // namespace

void enableTrace() { g_traceSwitch = 1; }
void disableTrace() { g_traceSwitch = 0; }
bool isTraceOn() { return g_traceSwitch == 1; }

std::string formatTraceTime(const std::tm& time) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = time.tm_wday >= 0 && time.tm_wday < 7 ? days[time.tm_wday] : "???";
    const char* month = time.tm_mon >= 0 && time.tm_mon < 12 ? months[time.tm_mon] : "???";
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", day, month, time.tm_mday, time.tm_hour,
                  time.tm_min, time.tm_sec, time.tm_year + 1900);
    return text;
}

void traceMessage(const char* format, ...) {
    if (g_traceSwitch == 0) return;
    va_list args;
    va_start(args, format);
    std::string line = formatTraceTime(localNow()) + " - " + formatVa(format, args) + "\n";
    va_end(args);
    std::lock_guard<std::mutex> lock(g_traceLock);
    if (std::FILE* err = g_err.load()) {
        std::fwrite(line.data(), 1, line.size(), err);
        std::fflush(err);
    }
}

void printSystemError(Platform& os, const char* label, ErrorCode code) {
    std::optional<std::string> text = os.systemErrorText(code);
    if (text && !text->empty()) {
        writeErr("%s: %s\n", label, text->c_str());
    } else {
        writeErr("%s: %d\n", label, static_cast<int>(code));
    }
}

int isOn(const std::optional<std::string>& text) { return text && *text == "on" ? 1 : 0; }

void redirectTraceOutput(Platform& os, const std::optional<std::string>& stdoutPath,
                         const std::optional<std::string>& stderrPath) {
    if (g_traceSwitch != 1 || g_redirected != 0 || !stdoutPath || !stderrPath) return;
    g_redirected = 1;
    g_err = os.openAppendStream(*stderrPath);
    g_out = os.openAppendStream(*stdoutPath);
}

void traceParameters(const char* label, int count, char** list) {
    if (g_traceSwitch == 0) return;
    const char* name = orNull(label);
    if (count >= 1 && list != nullptr) {
        traceMessage("%s - %d parameters were passed", name, count);
        for (int i = 0; i < count; ++i) traceMessage("%s - parameter(%d) = %s", name, i, orNull(list[i]));
    } else {
        traceMessage("%s - no parameters were passed", name);
    }
}

void closeTraceOutput() {
    if (g_redirected.exchange(0) == 0) return;
    if (std::FILE* redirectedErr = g_err.exchange(nullptr)) std::fclose(redirectedErr);
    if (std::FILE* redirectedOut = g_out.exchange(nullptr)) std::fclose(redirectedOut);
}

std::FILE* consoleOut() { return g_out.load(); }
std::FILE* consoleErr() { return g_err.load(); }

void writeOut(const char* format, ...) {
    std::FILE* out = g_out.load();
    if (out == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
}

void writeErr(const char* format, ...) {
    std::FILE* err = g_err.load();
    if (err == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(err, format, args);
    va_end(args);
}

const char* orNull(const std::optional<std::string>& text) { return text ? text->c_str() : "<null>"; }
const char* orNull(const char* text) { return text != nullptr ? text : "<null>"; }

void resetTrace(std::FILE* out, std::FILE* err) {
    g_traceSwitch = 0;
    if (g_redirected.exchange(0) != 0) {
        // The redirection opened these streams; nothing else closes them.
        if (std::FILE* redirectedErr = g_err.exchange(nullptr)) std::fclose(redirectedErr);
        if (std::FILE* redirectedOut = g_out.exchange(nullptr)) std::fclose(redirectedOut);
    }
    g_out = out;
    g_err = err;
}

}  // namespace vornel
