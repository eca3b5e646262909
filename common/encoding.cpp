#include "common/encoding.h"

#include <cstring>

#include "common/registry.h"
#include "common/trace.h"

namespace vornel {
namespace {

constexpr size_t kMaxFlagKeyPathLength = 511;
constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    writeOut("Invalid hex char: %c\n", c);
    return 0;
}

}  // namespace

std::optional<std::string> encodedFlagKeyPath(const std::string& fullServiceName) {
    std::string path = std::string(kServicesKeyPath) + fullServiceName + "\\Parameters";
    if (path.size() > kMaxFlagKeyPathLength) return std::nullopt;
    return path;
}

bool argumentsEncoded(const std::optional<std::string>& encodedValue) {
    return encodedValue && *encodedValue != "off";
}

int paramsEncoded(Platform& os, const std::string& fullServiceName) {
    std::optional<std::string> path = encodedFlagKeyPath(fullServiceName);
    if (!path) {
        writeOut("%s\n", "paramsEncoded: service name too long.\n");
        return 0;
    }
    return argumentsEncoded(getRegistryValue(os, *path, kEncoded)) ? 1 : 0;
}

std::optional<bool> storedArgumentsEncoded(Platform& os, const std::string& fullServiceName) {
    std::optional<std::string> path = encodedFlagKeyPath(fullServiceName);
    if (!path) return false;  // as paramsEncoded, which the host's reading follows
    ErrorCode error = 0;
    std::optional<std::string> flag = getRegistryValue(os, *path, kEncoded, error);
    if (!flag && error != win::kErrorFileNotFound) return std::nullopt;
    return argumentsEncoded(flag);
}

bool setEncoded(Platform& os, const std::string& fullServiceName, bool flag) {
    std::optional<std::string> path = encodedFlagKeyPath(fullServiceName);
    if (!path) {
        writeOut("%s\n", "setEncoded: service name too long.\n");
        return false;
    }
    return setRegistryValue(os, *path, kEncoded, flag ? "on" : "off") == 1;
}

std::optional<std::string> xorWithKey(const std::optional<std::string>& key, const std::optional<std::string>& data) {
    if (!key || !data || key->empty()) return std::nullopt;
    std::string result(data->size(), '\0');
    for (size_t i = 0; i < data->size(); ++i) {
        result[i] = static_cast<char>((*data)[i] ^ (*key)[i % key->size()]);
    }
    return result;
}

std::optional<std::string> encodeHex(const std::optional<std::string>& data) {
    if (!data) return std::nullopt;
    std::string hex;
    hex.reserve(2 * data->size());
    for (char c : *data) {
        unsigned char b = static_cast<unsigned char>(c);
        hex.push_back(kHexDigits[(b >> 4) & 15]);
        hex.push_back(kHexDigits[b & 15]);
    }
    return hex;
}

std::optional<std::string> decodeHex(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    if (text->size() % 2 != 0) {
        writeOut("Invalid hex string: odd length.\n");
        return std::nullopt;
    }
    std::string bytes(text->size() / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = hexValue((*text)[2 * i]);
        int low = hexValue((*text)[2 * i + 1]);
        bytes[i] = static_cast<char>(16 * high + low);
    }
    return bytes;
}

std::optional<std::string> decodeArguments(const std::string& stored, const std::string& fullServiceName) {
    std::optional<std::string> plain = xorWithKey(fullServiceName, decodeHex(stored));
    if (!plain) return std::nullopt;
    // The result is used as a text: it ends at its first zero byte.
    return plain->substr(0, plain->find('\0'));
}

int setEncodedValue(Platform& os, const std::string& fullServiceName, const std::string& keyPath,
                    const std::string& valueName, const std::string& plain) {
    std::optional<std::string> combined = xorWithKey(fullServiceName, plain);
    if (!combined) return 0;
    std::optional<std::string> hex = encodeHex(combined);
    if (!hex) return 0;
    return setRegistryValue(os, keyPath, valueName, *hex);
}

int setArgumentsValue(Platform& os, const std::string& fullServiceName, const std::string& keyPath,
                      const std::string& valueName, const std::string& plain) {
    if (paramsEncoded(os, fullServiceName) == 1) {
        return setEncodedValue(os, fullServiceName, keyPath, valueName, plain);
    }
    return setRegistryValue(os, keyPath, valueName, plain);
}

}  // namespace vornel
