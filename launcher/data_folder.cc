#include "launcher/data_folder.h"

#include <unistd.h>

#include <filesystem>

#include "common/files.h"
#include "common/text.h"

namespace quorvel::launcher {

std::string chosenDataDir(const std::optional<std::string>& dataArg,
                          const std::string& locationFile, const std::string& defaultData) {
  if (dataArg) return *dataArg;
  if (const auto recorded = readFile(locationFile)) {
    // Only a whole, valid UTF-8 text names a folder.
    if (decodeUtf8Lossy(*recorded) == *recorded) {
      std::string path = trimWhitespace(*recorded);
      if (!path.empty()) return path;
    }
  }
  return defaultData;
}

std::optional<std::string> missingDisk(const std::string& path,
                                       const std::vector<std::string>& volumeRoots) {
  const std::vector<std::string> parts = split(path, '/', false);
  for (const std::string& root : volumeRoots) {
    const std::vector<std::string> rootParts = split(root, '/', false);
    if (rootParts.empty() || parts.size() <= rootParts.size()) continue;
    if (!std::equal(rootParts.begin(), rootParts.end(), parts.begin())) continue;
    const std::string& disk = parts[rootParts.size()];
    if (pathExists(joinPath(root, disk))) return std::nullopt;
    return disk;
  }
  return std::nullopt;
}

std::optional<std::string> resolveDataFolder(
    const DataFolderPlace& place, const std::function<std::string(const std::string&)>& noData,
    const std::function<std::string(const std::string&)>& noDisk, const AskAboutDataFolder& ask) {
  std::string folder = chosenDataDir(place.dataArg, place.locationFile, place.defaultData);
  while (folder != place.defaultData) {
    if (place.dataArg) break;  // a folder named on the command line is created without asking
    if (isDirectory(folder)) return folder;
    const auto disk = missingDisk(folder, place.volumeRoots);
    switch (ask(disk ? noDisk(*disk) : noData(folder))) {
      case DataFolderAnswer::retry:
        break;
      case DataFolderAnswer::useDefault:
        ::unlink(place.locationFile.c_str());
        break;
      case DataFolderAnswer::quit:
        return std::nullopt;
    }
    folder = chosenDataDir(place.dataArg, place.locationFile, place.defaultData);
  }
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder;
}

}  // namespace quorvel::launcher
