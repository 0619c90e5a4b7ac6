#pragma once

// Runs a built tool from a test, with its standard output and error kept apart.

#include <string>
#include <vector>

namespace fixtures {

// A fresh folder under the temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ToolRun {
  int status = -1;  // exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// Runs the tool to its end, in workingDirectory when one is given.
ToolRun runTool(const std::string& executable, const std::vector<std::string>& arguments,
                const std::string& workingDirectory = "");

}  // namespace fixtures
