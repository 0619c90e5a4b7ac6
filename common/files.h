#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// Appends a path component with exactly one "/" between the parts, whether or not the first
// ends in "/".
std::string joinPath(std::string_view base, std::string_view name);

// The whole file as bytes; absent when it cannot be opened or read.
std::optional<std::string> readFile(const std::string& path);

// Writes the whole file, replacing what was there; false when it cannot be written.
[[nodiscard]] bool writeFile(const std::string& path, std::string_view bytes);

// Size in bytes of what is at path (following links); absent when it cannot be read.
std::optional<std::uint64_t> fileSize(const std::string& path);

bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);

// The running executable's path, resolved through /proc/self/exe; empty if it can't be read.
std::string executablePath();

// The folder of the running executable ("." if its path can't be read).
std::string executableDir();

}  // namespace quorvel
