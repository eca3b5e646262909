// What the unit tests share: an in-memory Windows per test, the console captured into
// memory, argument vectors, the trace lines without their time stamps, the system-error lines
// as the programs print them, and the names of parameterised cases.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "tests/memory/memory_platform.h"

namespace vornel::testing {

// One stream written into memory.
class CapturedStream {
public:
    CapturedStream() : stream_(open_memstream(&buffer_, &size_)) {}
    ~CapturedStream() {
        std::fclose(stream_);
        std::free(buffer_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    std::FILE* stream() const { return stream_; }
    std::string text() {
        std::fflush(stream_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* stream_;
};

// A program's entry routine: argc and argv as main receives them, the exit status back.
using ToolEntry = int (*)(Platform&, int, char**);

// An argument vector as a program's main receives it.
class Argv {
public:
    Argv(std::initializer_list<std::string> args) : storage_(args) { build(); }
    explicit Argv(std::vector<std::string> args) : storage_(std::move(args)) { build(); }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.data(); }

private:
    void build() {
        for (std::string& arg : storage_) pointers_.push_back(&arg[0]);
        pointers_.push_back(nullptr);
    }
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

// The lines of a text, each without its line feed (a last line without one included).
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// True when the text begins with a trace time such as "Tue Dec  8 01:02:03 2026 - ".
inline bool hasTraceTime(const std::string& line) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if (line.size() < 27 || line.compare(24, 3, " - ") != 0) return false;
    bool day = false;
    for (const char* d : days) day = day || line.compare(0, 3, d) == 0;
    return day && line[3] == ' ' && line[7] == ' ' && line[10] == ' ' && line[13] == ':' && line[16] == ':' &&
           line[19] == ' ';
}

// The messages of the trace lines in an error-stream text, without their time stamps; other
// lines of the stream are left out.
inline std::vector<std::string> traceMessages(const std::string& errText) {
    std::vector<std::string> messages;
    for (const std::string& line : splitLines(errText)) {
        if (hasTraceTime(line)) messages.push_back(line.substr(27));
    }
    return messages;
}

// The error-stream text with the trace lines removed.
inline std::string withoutTrace(const std::string& errText) {
    std::string rest;
    size_t start = 0;
    while (start < errText.size()) {
        size_t end = errText.find('\n', start);
        size_t next = end == std::string::npos ? errText.size() : end + 1;
        std::string line = errText.substr(start, next - start);
        if (!hasTraceTime(line)) rest += line;
        start = next;
    }
    return rest;
}

// The platform's text for a code, as every program prints it; empty when it has none.
inline std::string platformText(ErrorCode code) {
    MemoryPlatform scratch;
    return scratch.systemErrorText(code).value_or("");
}

// A system-error line as printSystemError writes it: the label, then the platform's text for
// the code, or the code in decimal when the platform has none.
inline std::string systemErrorLine(const std::string& label, ErrorCode code) {
    std::string text = platformText(code);
    return label + ": " + (text.empty() ? std::to_string(code) : text) + "\n";
}

// The same line when the text itself could not be fetched: the code in decimal.
inline std::string systemErrorLineWithoutText(const std::string& label, ErrorCode code) {
    return label + ": " + std::to_string(code) + "\n";
}

// Every value under a key, by name, with its type and raw data.
inline std::map<std::string, std::pair<uint32_t, std::string>> valuesOf(const MemoryPlatform& os,
                                                                        const std::string& key) {
    std::map<std::string, std::pair<uint32_t, std::string>> values;
    for (const std::string& name : os.valueNames(key)) {
        MemoryPlatform::RegValue v = os.value(key, name).value();
        values[name] = {v.type, v.data};
    }
    return values;
}

// The name of a parameterised case: its row's name, which gtest shows when the row fails.
// Rows carry a name of letters, digits and underscores.
template <class Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// The name of a case of a suite over platform operations: the operation's name.
inline std::string opCaseName(const ::testing::TestParamInfo<MemoryPlatform::Op>& op) {
    return MemoryPlatform::opName(op.param);
}

// A test with its own in-memory Windows and its console captured.
class MemoryTest : public ::testing::Test {
protected:
    MemoryTest() { resetTrace(out_.stream(), err_.stream()); }
    ~MemoryTest() override {
        resetTrace(stdout, stderr);
        os.shutdown();
    }

    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }
    std::vector<std::string> trace() { return traceMessages(err()); }
    std::string errWithoutTrace() { return withoutTrace(err()); }

    // The system's text for a code, as the platform gives it.
    std::string systemText(ErrorCode code) { return os.systemErrorText(code).value_or(""); }

    MemoryPlatform os;

private:
    CapturedStream out_;
    CapturedStream err_;
};

}  // namespace vornel::testing
