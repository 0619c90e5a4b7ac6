#include "bundleswap/install.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bundleswap/plist.h"
#include "bundleswap/report.h"
#include "bundleswap/verify.h"
#include "common/files.h"

namespace bundleswap {
namespace {

using std::chrono::milliseconds;

constexpr auto kWaitLimit = std::chrono::seconds(120);
constexpr auto kPollInterval = milliseconds(200);
constexpr auto kSettlePause = milliseconds(300);
constexpr auto kRelaunchPause = milliseconds(2000);
constexpr int kRelaunchAttempts = 3;

std::vector<std::int32_t> stillAlive(const std::vector<std::int32_t>& pids) {
  std::vector<std::int32_t> running;
  for (const auto pid : pids) {
    if (alive(pid)) running.push_back(pid);
  }
  return running;
}

// Puts the staged bundle at the target, by one exchange or by two renames; the old bundle
// ends up at the staging path either way.
std::optional<Failure> exchange(const Places& places, const Settings& settings,
                                const System& system) {
  const int swapError = system.exchange(places.staging, places.target);
  if (swapError == 0) return std::nullopt;
  logLine(settings.logPath,
          std::string("不能一步对调（") + std::strerror(swapError) + "），改成两次改名");
  if (const int error = system.rename(places.target, places.aside); error != 0) {
    return Failure{"swap", std::string("挪开旧版：") + std::strerror(error)};
  }
  if (const int error = system.rename(places.staging, places.target); error != 0) {
    const std::string text = std::strerror(error);
    system.rename(places.aside, places.target);
    return Failure{"swap", "放上新版：" + text};
  }
  system.rename(places.aside, places.staging);
  return std::nullopt;
}

}  // namespace

Host currentHost() {
  Host host;
  host.pid = static_cast<int>(::getpid());
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer)) host.workingDirectory = buffer;
  host.executablePath = quorvel::executablePath();
  if (const char* value = std::getenv("QUORVEL_UPDATE_TEST")) host.testSwitch = value;
  return host;
}

void launch(const std::string& bundlePath, const Settings& settings, const System& system) {
  std::vector<std::string> arguments = settings.relaunchArgs;
  arguments.push_back("--after-update");
  for (int attempt = 1;; ++attempt) {
    const ToolRun run = startApplication(bundlePath, arguments, settings.relaunchEnv);
    if (run.status == 0) {
      logLine(settings.logPath, "打开了 " + bundlePath);
      return;
    }
    logLine(settings.logPath,
            "打不开 " + bundlePath + "（第 " + std::to_string(attempt) + " 次）：" + run.output);
    system.sleep(kRelaunchPause);
    if (attempt == kRelaunchAttempts) return;
  }
}

int runInstaller(const std::vector<std::string>& commandLine, const System& system,
                 const Host& host) {
  const std::vector<std::string> arguments(commandLine.begin() + (commandLine.empty() ? 0 : 1),
                                           commandLine.end());
  const Settings settings = parseArguments(arguments);
  const auto log = [&](const std::string& message) { logLine(settings.logPath, message); };
  if (!settingsValid(settings)) {
    log("参数不全：" + quotedList(commandLine));
    return kBadArguments;
  }
  const bool strict =
      !(settings.wantTest && host.testSwitch == "1" && selfIsAdhoc(host.executablePath));
  const Places places =
      placesFor(settings.appPath, settings.expectedVersion, host.pid, host.workingDirectory);
  const std::string oldVersion = plistValue(places.target, "CFBundleShortVersionString");
  log("开始：" + oldVersion + " → " + settings.expectedVersion + "，" + places.target +
      (strict ? "" : "（测试：不要求团队、不过 Gatekeeper）"));

  const auto deadline = system.now() + kWaitLimit;
  while (true) {
    const auto running = stillAlive(settings.waitPids);
    if (running.empty()) break;
    if (system.now() > deadline) {
      log("等了两分钟还没退出：" + plainList(running) + "，不换了");
      writeResult(settings.resultPath,
                  {false, oldVersion, settings.expectedVersion, "busy", "still running"});
      return kFailed;
    }
    system.sleep(kPollInterval);
  }
  system.sleep(kSettlePause);
  removeItem(places.staging);

  const auto fail = [&](const Failure& failure) {
    log("没换成（" + failure.code + "）：" + failure.detail);
    removeItem(places.staging);
    writeResult(settings.resultPath,
                {false, oldVersion, settings.expectedVersion, failure.code, failure.detail});
    if (itemExists(places.target)) launch(places.target, settings, system);
    return kFailed;
  };

  const ToolRun copy = copyBundle(settings.newPath, places.staging);
  if (copy.status != 0) return fail({"copy", copy.output});
  const Expected expected{settings.bundleId, settings.teamId, settings.expectedVersion};
  if (auto failure = verify(places.staging, strict, expected, trustOf(places.target))) {
    return fail(*failure);
  }
  log("拷过去的这一份检查过了");
  if (auto failure = exchange(places, settings, system)) return fail(*failure);

  log("换好了");
  // The old bundle and the unpacked download leave their places now, by a rename; their
  // hundreds of megabytes are deleted once the application is on its way back, which then
  // does not wait for the disk.
  struct Discarded {
    std::string path;
    bool logFailure;  // only the old bundle's removal is worth a line
  };
  std::vector<Discarded> discarded;
  const auto discard = [&](const std::string& path, bool logFailure) {
    if (auto aside = setAside(path, host.pid)) {
      discarded.push_back({*aside, logFailure});
    } else if (auto error = removeItem(path); error && logFailure) {
      log("旧版没删干净：" + *error);
    }
  };
  discard(places.staging, true);
  registerBundle(places.target);
  if (!settings.cleanupPath.empty()) discard(settings.cleanupPath, false);
  writeResult(settings.resultPath, {true, oldVersion, settings.expectedVersion, {}, {}});
  launch(places.target, settings, system);
  for (const Discarded& item : discarded) {
    if (auto error = removeItem(item.path); error && item.logFailure) {
      log("旧版没删干净：" + *error);
    }
  }
  return kExchanged;
}

}  // namespace bundleswap
