#pragma once

// Runs a built tool from a test, with its standard output and error kept apart.

#include <string>
#include <vector>

#include "common/testing/temp_dir.h"

namespace fixtures {

using TempDir = quorvel::testing::TempDir;

struct ToolRun {
  int status = -1;  // exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// Runs the tool to its end, in workingDirectory when one is given.
ToolRun runTool(const std::string& executable, const std::vector<std::string>& arguments,
                const std::string& workingDirectory = "");

}  // namespace fixtures
