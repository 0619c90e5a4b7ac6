#include "common/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

namespace quorvel {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

struct FileActions {
  posix_spawn_file_actions_t actions{};
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct Attributes {
  posix_spawnattr_t attributes{};
  Attributes() { posix_spawnattr_init(&attributes); }
  ~Attributes() { posix_spawnattr_destroy(&attributes); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
};

void redirect(posix_spawn_file_actions_t* actions, int fd, int target, int openFlags) {
  if (fd >= 0) {
    posix_spawn_file_actions_adddup2(actions, fd, target);
  } else {
    posix_spawn_file_actions_addopen(actions, target, "/dev/null", openFlags, 0);
  }
}

ExitStatus decodeWaitStatus(int status) {
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

// fork and exec, for what posix_spawn cannot do: the parent-death signal. Everything the child
// needs is made before the fork, since only async-signal-safe calls may follow it.
Spawned forkProcess(const SpawnRequest& request, char** argv, char** envp) {
  const int nullIn = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int nullOut = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int report[2];
  if (nullIn < 0 || nullOut < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    const std::string error = std::string("open: ") + std::strerror(errno);
    if (nullIn >= 0) ::close(nullIn);
    if (nullOut >= 0) ::close(nullOut);
    return {-1, error};
  }
  const int in = request.standardInput >= 0 ? request.standardInput : nullIn;
  const int out = request.standardOutput >= 0 ? request.standardOutput : nullOut;
  const int err = request.standardError >= 0 ? request.standardError : nullOut;
  const char* directory = request.workingDirectory ? request.workingDirectory->c_str() : nullptr;
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child reports a failed step as its name's index and errno, then ends.
    const auto fail = [&](int step) {
      const int reported[2] = {step, errno};
      [[maybe_unused]] const ssize_t n = ::write(report[1], reported, sizeof reported);
      ::_exit(127);
    };
    if (request.newSession && ::setsid() < 0) fail(0);
    if (!request.newSession && request.newProcessGroup && ::setpgid(0, 0) != 0) fail(1);
    if (::prctl(PR_SET_PDEATHSIG, request.parentDeathSignal) != 0) fail(2);
    if (::getppid() != parent) ::_exit(127);  // the parent is already gone
    for (int signal = 1; signal < NSIG; ++signal) ::signal(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // dup2 clears close-on-exec on the copies, and only on them.
    if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
        ::dup2(err, STDERR_FILENO) < 0) {
      fail(3);
    }
    if (directory && ::chdir(directory) != 0) fail(4);
    if (request.searchPath) {
      ::execvpe(argv[0], argv, envp);
    } else {
      ::execve(argv[0], argv, envp);
    }
    fail(5);
  }
  const int forkError = errno;
  ::close(report[1]);
  ::close(nullIn);
  ::close(nullOut);
  if (pid < 0) {
    ::close(report[0]);
    return {-1, std::string("fork: ") + std::strerror(forkError)};
  }
  int reported[2] = {0, 0};
  ssize_t n = 0;
  while ((n = ::read(report[0], reported, sizeof reported)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n != static_cast<ssize_t>(sizeof reported)) return {pid, {}};
  waitForExit(pid);
  static const char* const steps[] = {"setsid", "setpgid", "prctl", "dup2", "chdir", "execve"};
  const int step = reported[0] >= 0 && reported[0] < 6 ? reported[0] : 5;
  return {-1, std::string(steps[step]) + ": " + std::strerror(reported[1])};
}

}  // namespace

Spawned spawnProcess(const SpawnRequest& request) {
  FileActions files;
  redirect(&files.actions, request.standardInput, STDIN_FILENO, O_RDONLY);
  redirect(&files.actions, request.standardOutput, STDOUT_FILENO, O_WRONLY);
  redirect(&files.actions, request.standardError, STDERR_FILENO, O_WRONLY);
  if (request.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&files.actions, request.workingDirectory->c_str());
  }

  std::vector<std::string> argv{request.executable};
  argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
  auto argvPointers = pointers(argv);
  std::vector<std::string> env = request.environment.value_or(std::vector<std::string>{});
  auto envPointers = pointers(env);
  char** envp = request.environment ? envPointers.data() : environ;
  if (request.parentDeathSignal != 0) return forkProcess(request, argvPointers.data(), envp);

  Attributes attributes;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  if (!request.newSession && request.newProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes.attributes, 0);
  }
  posix_spawnattr_setflags(&attributes.attributes, flags);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes.attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes.attributes, &all);

  pid_t pid = -1;
  const int rc = request.searchPath
                     ? posix_spawnp(&pid, request.executable.c_str(), &files.actions,
                                    &attributes.attributes, argvPointers.data(), envp)
                     : posix_spawn(&pid, request.executable.c_str(), &files.actions,
                                   &attributes.attributes, argvPointers.data(), envp);
  if (rc != 0) return {-1, std::string("posix_spawn: ") + std::strerror(rc)};
  return {pid, {}};
}

ExitStatus waitForExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {false, -1};
  }
  return decodeWaitStatus(status);
}

std::optional<Captured> runCaptured(SpawnRequest request, std::string* error) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (error) *error = std::string("pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  request.standardOutput = pipeFds[1];
  request.standardError = pipeFds[1];
  const Spawned child = spawnProcess(request);
  ::close(pipeFds[1]);
  if (!child.ok()) {
    ::close(pipeFds[0]);
    if (error) *error = child.error;
    return std::nullopt;
  }
  Captured captured;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      captured.output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFds[0]);
  captured.status = waitForExit(child.pid);
  return captured;
}

std::shared_ptr<WatchedProcess> WatchedProcess::start(const SpawnRequest& request,
                                                      ExitHandler onExit, std::string* error) {
  const Spawned child = spawnProcess(request);
  if (!child.ok()) {
    if (error) *error = child.error;
    return nullptr;
  }
  std::shared_ptr<WatchedProcess> process(
      new WatchedProcess(child.pid, request.newSession || request.newProcessGroup));
  process->watch(std::move(onExit));
  return process;
}

void WatchedProcess::watch(ExitHandler onExit) {
  // The thread holds the handle until the child has ended, whoever else lets go of it.
  std::thread([self = shared_from_this(), onExit = std::move(onExit)] {
    siginfo_t info{};
    // Wait without reaping, so the pid stays ours until the lock is held.
    while (::waitid(P_PID, static_cast<id_t>(self->pid_), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    ExitStatus status;
    {
      std::lock_guard lock(self->mutex_);
      status = waitForExit(self->pid_);
      self->reaped_ = true;
    }
    if (onExit) onExit(status);
  }).detach();
}

bool WatchedProcess::isRunning() const {
  std::lock_guard lock(mutex_);
  return !reaped_;
}

void WatchedProcess::terminate() {
  std::lock_guard lock(mutex_);
  if (!reaped_) ::kill(leadsGroup_ ? -pid_ : pid_, SIGTERM);
}

}  // namespace quorvel
