// A sequence of up to four installations of one service on one in-memory Windows, each with or without
// -encodeparams, -startargs and -stopargs (any bytes, empty ones too), and the short name in
// either letter case.
//
// After every run: Encoded is "on" after -encodeparams, "off" after an argument option without
// it and on creation, and otherwise what it was; each stored argument value, read in the form
// Encoded says with the name the service was created under (the name the host decodes with),
// is the text last given for it, and a value never given is not stored.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "fuzz_support.h"
#include "install/install.h"
#include "tests/memory/memory_platform.h"

namespace {

// The fuzzer's bytes, read one piece at a time; zero when they run out.
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A text of up to 63 bytes, none of them zero.
    std::string text() {
        std::string result;
        for (size_t n = next() % 64; n > 0 && !empty(); --n) {
            uint8_t b = next();
            result.push_back(static_cast<char>(b == 0 ? ' ' : b));
        }
        return result;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

struct Model {
    std::optional<std::string> registered;  // the full name the service was created under
    std::optional<std::string> encoded;     // Encoded as stored
    std::optional<std::string> start, stop; // the plain arguments last given
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    fuzz::quietConsole();
    MemoryPlatform os;
    Bytes bytes(data, size);
    Model model;
    for (int run = 0; run < 4 && !bytes.empty(); ++run) {
        const uint8_t flags = bytes.next();
        const std::string shortName = (flags & 1) != 0 ? "NODE" : "node";
        std::vector<std::string> args = {"InstallVornelAgentService.exe", "-servicename", shortName, "-agentname",
                                         "agent", "-agenthome", "C:\\agent"};
        const bool encode = (flags & 2) != 0;
        std::optional<std::string> start, stop;
        if ((flags & 4) != 0) start = bytes.text();
        if ((flags & 8) != 0) stop = bytes.text();
        if (start) args.insert(args.end(), {"-startargs", *start});
        if (stop) args.insert(args.end(), {"-stopargs", *stop});
        if (encode) args.push_back("-encodeparams");

        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        const bool existed = model.registered.has_value();
        const int status = installVornelAgentServiceMain(os, static_cast<int>(args.size()), argv.data());
        FUZZ_CHECK(status == 0 || status == -1);
        if (status != 0) {
            // Only a command line the parser refuses (a value that looks like an option) ends so.
            FUZZ_CHECK(os.callCount() == 0);
        } else {
            if (!existed) model.registered = getFullServiceName(shortName);
            const bool startGiven = start && !start->empty();
            const bool stopGiven = stop && !stop->empty();
            if (startGiven) model.start = start;
            if (stopGiven) model.stop = stop;
            if (encode) {
                model.encoded = "on";
            } else if (startGiven || stopGiven || !existed) {
                model.encoded = "off";
            }
        }
        os.resetCalls();
        if (!model.registered) {
            FUZZ_CHECK(os.subKeys("SYSTEM\\CurrentControlSet\\Services").size() == 1);
            continue;
        }

        const std::string params = parametersKeyPath(*model.registered);
        FUZZ_CHECK(os.stringValue(params, kEncoded) == model.encoded);
        const bool encoded = argumentsEncoded(model.encoded);
        auto expected = [&](const std::optional<std::string>& plain) -> std::optional<std::string> {
            if (!plain) return std::nullopt;
            return encoded ? encodeHex(xorWithKey(*model.registered, *plain)) : plain;
        };
        FUZZ_CHECK(os.stringValue(params, kStartupArguments) == expected(model.start));
        FUZZ_CHECK(os.stringValue(params, kStopArguments) == expected(model.stop));
        FUZZ_CHECK(os.openHandleCount() == 0);
    }
    return 0;
}
