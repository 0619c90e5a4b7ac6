#include "common/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>

namespace quorvel {
namespace {

SpawnRequest shell(const std::string& script) {
  SpawnRequest request;
  request.executable = "/bin/sh";
  request.arguments = {"-c", script};
  return request;
}

TEST(Process, ExitStatusAndCapturedOutput) {
  std::string error;
  auto captured = runCaptured(shell("echo out; echo err >&2; exit 3"), &error);
  ASSERT_TRUE(captured) << error;
  EXPECT_EQ(captured->output, "out\nerr\n");
  EXPECT_FALSE(captured->status.signaled);
  EXPECT_EQ(captured->status.code, 3);
}

TEST(Process, EnvironmentAndWorkingDirectoryAreTheRequests) {
  SpawnRequest request = shell("printf '%s %s' \"$ONLY\" \"$PWD\"");
  request.environment = std::vector<std::string>{"ONLY=this"};
  request.workingDirectory = "/tmp";
  std::string error;
  auto captured = runCaptured(request, &error);
  ASSERT_TRUE(captured) << error;
  EXPECT_EQ(captured->output, "this /tmp");
}

TEST(Process, MissingExecutableNamesTheCallAndReason) {
  SpawnRequest request;
  request.executable = "/nonexistent/node";
  const Spawned child = spawnProcess(request);
  EXPECT_FALSE(child.ok());
  EXPECT_EQ(child.error, "posix_spawn: No such file or directory");
}

TEST(WatchedProcess, TerminateEndsTheChildAndReportsTheSignal) {
  std::promise<ExitStatus> ended;
  std::string error;
  auto process = WatchedProcess::start(
      shell("exec sleep 30"), [&](ExitStatus status) { ended.set_value(status); }, &error);
  ASSERT_TRUE(process) << error;
  EXPECT_TRUE(process->isRunning());
  process->terminate();
  const ExitStatus status = ended.get_future().get();
  EXPECT_TRUE(status.signaled);
  EXPECT_EQ(status.code, SIGTERM);
  EXPECT_FALSE(process->isRunning());
  process->terminate();  // after the end: nothing to signal, nothing happens
}

}  // namespace
}  // namespace quorvel
