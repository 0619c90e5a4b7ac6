#include "common/process.h"

#include <fcntl.h>
#include <spawn.h>
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

}  // namespace

Spawned spawnProcess(const SpawnRequest& request) {
  FileActions files;
  redirect(&files.actions, request.standardInput, STDIN_FILENO, O_RDONLY);
  redirect(&files.actions, request.standardOutput, STDOUT_FILENO, O_WRONLY);
  redirect(&files.actions, request.standardError, STDERR_FILENO, O_WRONLY);
  if (request.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&files.actions, request.workingDirectory->c_str());
  }

  Attributes attributes;
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attributes.attributes, flags);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes.attributes, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attributes.attributes, &all);

  std::vector<std::string> argv{request.executable};
  argv.insert(argv.end(), request.arguments.begin(), request.arguments.end());
  auto argvPointers = pointers(argv);
  std::vector<std::string> env = request.environment.value_or(std::vector<std::string>{});
  auto envPointers = pointers(env);
  char** envp = request.environment ? envPointers.data() : environ;

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
  std::shared_ptr<WatchedProcess> process(new WatchedProcess(child.pid));
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
  if (!reaped_) ::kill(pid_, SIGTERM);
}

}  // namespace quorvel
