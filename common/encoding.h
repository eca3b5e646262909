// Argument hex encoding.
//
// Stored script arguments are, when the Parameters value Encoded says so, the upper-case hex
// of their bytes combined by exclusive-or with the full service name taken in turn. They
// count as encoded unless Encoded is absent or exactly "off".
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace vornel {

// "SYSTEM\CurrentControlSet\Services\" + name + "\Parameters" (no closing separator); absent
// when it would be longer than the 511 characters the flag routines allow.
std::optional<std::string> encodedFlagKeyPath(const std::string& fullServiceName);

// Whether a stored Encoded value makes the arguments count as encoded.
bool argumentsEncoded(const std::optional<std::string>& encodedValue);

// 1 when the service's argument values count as encoded, else 0.
int paramsEncoded(Platform& os, const std::string& fullServiceName);

// Whether the service's argument values count as encoded, told apart from not knowing: absent
// when Encoded exists but cannot be read (a missing key or value reads as plain).
std::optional<bool> storedArgumentsEncoded(Platform& os, const std::string& fullServiceName);

// Stores Encoded as "on" or "off". True when it was stored.
bool setEncoded(Platform& os, const std::string& fullServiceName, bool flag);

// Each data byte combined with the key's characters in turn; absent when the key or the data
// is absent or the key is empty. The result has the data's length (it may hold zero bytes).
std::optional<std::string> xorWithKey(const std::optional<std::string>& key, const std::optional<std::string>& data);

// Two upper-case hex digits per byte; absent when the data are absent.
std::optional<std::string> encodeHex(const std::optional<std::string>& data);

// Half the text's length in bytes. Absent for an absent text and, with a message on the
// output stream, for a text of odd length; an invalid digit is reported and counts as 0.
std::optional<std::string> decodeHex(const std::optional<std::string>& text);

// The plain arguments of a stored encoded value: decoded, then combined with the service
// name; absent when the value does not decode or the name is empty.
std::optional<std::string> decodeArguments(const std::string& stored, const std::string& fullServiceName);

// Stores the text encoded with the full service name. 1 when stored, else 0.
int setEncodedValue(Platform& os, const std::string& fullServiceName, const std::string& keyPath,
                    const std::string& valueName, const std::string& plain);

// Stores the text encoded when the service's arguments count as encoded, plain otherwise.
int setArgumentsValue(Platform& os, const std::string& fullServiceName, const std::string& keyPath,
                      const std::string& valueName, const std::string& plain);

}  // namespace vornel
