#pragma once

#include <optional>
#include <string>

namespace quorvel {

// The string value of key in a property list file (XML or binary); absent when the file
// cannot be read or parsed, the key is missing, or its value is not a string.
std::optional<std::string> plistString(const std::string& path, const std::string& key);

}  // namespace quorvel
