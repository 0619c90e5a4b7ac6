#pragma once

#include <string>
#include <vector>

namespace sonacap {

struct Options {
  std::string socketPath;            // empty: no socket given
  std::string screenPath;            // empty: system-audio mode
  std::vector<std::string> bundles;  // from --bundles, empty pieces dropped
};

// Reads the arguments after the program path. An option takes the next argument as its value
// whatever it looks like; an option at the end is ignored, as is any other argument; a later
// value replaces an earlier one.
Options parseOptions(const std::vector<std::string>& args);

inline constexpr const char* USAGE =
    "usage: sonacap --socket <path> [--bundles id,id] [--screen out.mp4]\n";

}  // namespace sonacap
