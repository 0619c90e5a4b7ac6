#include "common/process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

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
  EXPECT_EQ(spawnProcess(request).error, "posix_spawn: No such file or directory");
  request.parentDeathSignal = SIGTERM;
  EXPECT_EQ(spawnProcess(request).error, "execve: No such file or directory");
}

// Gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (!(stat >> pidField >> name >> state) || state == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(Process, TheParentDeathSignalEndsTheChildWhenItsStarterEnds) {
  SpawnRequest request = shell("exec sleep 30");
  request.parentDeathSignal = SIGTERM;
  request.newProcessGroup = true;
  Spawned child;
  std::thread([&] { child = spawnProcess(request); }).join();
  ASSERT_TRUE(child.ok()) << child.error;
  EXPECT_EQ(::getpgid(child.pid), child.pid);
  const ExitStatus status = waitForExit(child.pid);
  EXPECT_TRUE(status.signaled);
  EXPECT_EQ(status.code, SIGTERM);
}

TEST(WatchedProcess, TerminateEndsTheWholeGroupOfAGroupLeader) {
  for (const bool ownGroup : {true, false}) {
    SCOPED_TRACE(ownGroup ? "own group" : "caller's group");
    SpawnRequest request = shell("sleep 30 & echo $!; wait");
    request.newProcessGroup = ownGroup;
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    request.standardOutput = output[1];
    std::promise<void> done;
    std::string error;
    auto process = WatchedProcess::start(
        request, [&](ExitStatus) { done.set_value(); }, &error);
    ::close(output[1]);
    ASSERT_TRUE(process) << error;
    char text[32] = {};
    ASSERT_GT(::read(output[0], text, sizeof text - 1), 0);
    ::close(output[0]);
    const pid_t grandchild = std::atoi(text);
    process->terminate();
    done.get_future().wait();
    EXPECT_EQ(ended(grandchild), ownGroup);
    ::kill(grandchild, SIGKILL);
  }
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
