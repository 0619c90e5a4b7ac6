#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::launcher {

// The folder named with "--data", else the trimmed content of the data-location file, else
// the default data folder.
std::string chosenDataDir(const std::optional<std::string>& dataArg,
                          const std::string& locationFile, const std::string& defaultData);

// The name of the removable disk that path lies on, when that disk is not connected. A disk
// is the folder right below one of volumeRoots (for example /media/alice/Stick below
// /media/alice); roots are tried in order.
std::optional<std::string> missingDisk(const std::string& path,
                                       const std::vector<std::string>& volumeRoots);

enum class DataFolderAnswer { retry, useDefault, quit };

struct DataFolderPlace {
  std::optional<std::string> dataArg;
  std::string locationFile;
  std::string defaultData;
  std::vector<std::string> volumeRoots;
};

// Asks the user about a missing folder: the informative text goes into the data-folder alert.
using AskAboutDataFolder = std::function<DataFolderAnswer(const std::string& informative)>;

// The data folder for a server start, created where that is allowed; absent when the user
// chose to quit. noData and noDisk give the alert's texts for a path and a disk name.
std::optional<std::string> resolveDataFolder(
    const DataFolderPlace& place, const std::function<std::string(const std::string&)>& noData,
    const std::function<std::string(const std::string&)>& noDisk, const AskAboutDataFolder& ask);

}  // namespace quorvel::launcher
