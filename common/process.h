#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

struct SpawnRequest {
  std::string executable;              // a path; looked up on PATH when searchPath is set
  std::vector<std::string> arguments;  // after the program name, which is the executable
  std::optional<std::string> workingDirectory;
  std::optional<std::vector<std::string>> environment;  // "NAME=value" entries; absent: inherit
  int standardInput = -1;                               // -1: the null device
  int standardOutput = -1;
  int standardError = -1;
  bool newSession = false;       // detach from the caller's session and terminal
  bool newProcessGroup = false;  // lead a group of its own, out of reach of the terminal's signals
  int parentDeathSignal = 0;     // sent to the child when the thread that started it ends
  bool searchPath = false;
};

struct Spawned {
  pid_t pid = -1;
  std::string error;  // the failing call and why ("posix_spawn: No such file or directory")
  bool ok() const { return pid > 0; }
};

// Starts a child process; the caller must wait for it (waitForExit) or hand it to WatchedProcess.
[[nodiscard]] Spawned spawnProcess(const SpawnRequest& request);

struct ExitStatus {
  bool signaled = false;  // ended by an uncaught signal
  int code = 0;           // the exit status, or the signal number when signaled
  bool success() const { return !signaled && code == 0; }
  // The status as a shell reports it: 128 plus the signal number for a signal.
  int shellCode() const { return signaled ? 128 + code : code; }
};

// Blocks until the child has ended and reaps it.
ExitStatus waitForExit(pid_t pid);

struct Captured {
  ExitStatus status;
  std::string output;  // standard output and standard error, interleaved as written
};

// Runs a child to its end with its output collected; absent (with error set) when it cannot
// be started. The request's standardOutput and standardError are replaced by the pipe.
std::optional<Captured> runCaptured(SpawnRequest request, std::string* error);

// A child process watched from a thread of its own, so isRunning and terminate are safe
// from any thread. The pid is reaped only under the lock, so terminate can never signal a
// process that has reused it.
class WatchedProcess : public std::enable_shared_from_this<WatchedProcess> {
 public:
  using ExitHandler = std::function<void(ExitStatus)>;

  // Starts the child; onExit runs once, on the watching thread, after the child is reaped.
  static std::shared_ptr<WatchedProcess> start(const SpawnRequest& request, ExitHandler onExit,
                                               std::string* error);

  bool isRunning() const;
  // Sends SIGTERM if the child has not ended yet, to its whole group when it leads one (its
  // pid then names the group for as long as it is not reaped); does not wait.
  void terminate();

 private:
  WatchedProcess(pid_t pid, bool leadsGroup) : pid_(pid), leadsGroup_(leadsGroup) {}
  void watch(ExitHandler onExit);

  const pid_t pid_;
  const bool leadsGroup_;
  mutable std::mutex mutex_;
  bool reaped_ = false;
};

}  // namespace quorvel
