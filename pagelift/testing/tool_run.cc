#include "pagelift/testing/tool_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/files.h"
#include "common/process.h"

namespace fixtures {

ToolRun runTool(const std::string& executable, const std::vector<std::string>& arguments,
                const std::string& workingDirectory) {
  const TempDir scratch;
  const std::string outPath = scratch.file("out");
  const std::string errPath = scratch.file("err");
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  quorvel::SpawnRequest request;
  request.executable = executable;
  request.arguments = arguments;
  request.standardOutput = out;
  request.standardError = err;
  if (!workingDirectory.empty()) request.workingDirectory = workingDirectory;
  const quorvel::Spawned child = quorvel::spawnProcess(request);
  close(out);
  close(err);
  if (!child.ok()) throw std::runtime_error(child.error);
  const quorvel::ExitStatus status = quorvel::waitForExit(child.pid);
  ToolRun run;
  run.status = status.signaled ? -1 : status.code;
  run.out = quorvel::readFile(outPath).value_or("");
  run.err = quorvel::readFile(errPath).value_or("");
  return run;
}

}  // namespace fixtures
