// What the fuzzers share: a check that stops the run, the console captured into memory, the
// trace compared message by message, and argument vectors cut from the fuzzer's bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/trace.h"

#define FUZZ_CHECK(condition)                                                      \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

namespace vornel::fuzz {

// The routines under test write messages; the fuzzers do not want them on the terminal.
inline void quietConsole() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    resetTrace(sink, sink);
}

// The console streams of one input, written into memory; the trace switch starts off.
class CapturedConsole {
public:
    CapturedConsole() : out_(open_memstream(&outBuffer_, &outSize_)), err_(open_memstream(&errBuffer_, &errSize_)) {
        resetTrace(out_, err_);
    }
    ~CapturedConsole() {
        quietConsole();
        std::fclose(out_);
        std::fclose(err_);
        std::free(outBuffer_);
        std::free(errBuffer_);
    }
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    std::string out() {
        std::fflush(out_);
        return std::string(outBuffer_, outSize_);
    }
    std::string err() {
        std::fflush(err_);
        return std::string(errBuffer_, errSize_);
    }

private:
    char* outBuffer_ = nullptr;
    size_t outSize_ = 0;
    char* errBuffer_ = nullptr;
    size_t errSize_ = 0;
    std::FILE* out_;
    std::FILE* err_;
};

// True when the text at pos begins with a trace time such as "Tue Dec  8 01:02:03 2026 - ".
inline bool traceTimeAt(const std::string& text, size_t pos) {
    if (text.size() < pos + 27 || text.compare(pos + 24, 3, " - ") != 0) return false;
    const char* t = text.c_str() + pos;
    return t[3] == ' ' && t[7] == ' ' && t[10] == ' ' && t[13] == ':' && t[16] == ':' && t[19] == ' ';
}

// True when the error-stream text is exactly these trace messages, each after its time stamp
// and followed by one line feed. Messages may hold line feeds of their own (a pid file's piece).
inline bool isExactTrace(const std::string& errText, const std::vector<std::string>& messages) {
    size_t pos = 0;
    for (const std::string& message : messages) {
        if (!traceTimeAt(errText, pos)) return false;
        pos += 27;
        if (errText.compare(pos, message.size(), message) != 0) return false;
        pos += message.size();
        if (pos >= errText.size() || errText[pos] != '\n') return false;
        ++pos;
    }
    return pos == errText.size();
}

// An argument vector as a program's main receives it: "program.exe", then the bytes split at
// every zero byte (so an empty argument is possible, a zero byte inside one is not).
class FuzzArgv {
public:
    FuzzArgv(const uint8_t* data, size_t size) {
        args_.push_back("program.exe");
        if (size > 0) {
            std::string current;
            for (size_t i = 0; i < size; ++i) {
                if (data[i] == 0) {
                    args_.push_back(current);
                    current.clear();
                } else {
                    current.push_back(static_cast<char>(data[i]));
                }
            }
            args_.push_back(current);
        }
        for (std::string& arg : args_) pointers_.push_back(&arg[0]);
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(args_.size()); }
    char** argv() { return pointers_.data(); }
    const std::vector<std::string>& args() const { return args_; }

private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};

}  // namespace vornel::fuzz
