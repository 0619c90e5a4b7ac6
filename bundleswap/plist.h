#pragma once

#include <string>

namespace bundleswap {

// The string value of key in bundle/Contents/Info.plist (XML or binary); empty when the file
// cannot be read or parsed, the top level is not a dictionary, or the value is not a string.
std::string plistValue(const std::string& bundlePath, const std::string& key);

}  // namespace bundleswap
