#include "bundleswap/install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "bundleswap/tests/test_support.h"
#include "common/process.h"
#include "common/text.h"

namespace bundleswap {
namespace {

namespace fs = std::filesystem;
using testing::readText;
using testing::treeDigest;

constexpr const char* kId = "org.test.Quorvel";
constexpr const char* kTeam = "TEAMA12345";

class Install : public ::testing::Test {
 public:
  void SetUp() override {
    app = folder.path() + "/Apps/Quorvel.app";
    fresh = folder.path() + "/Downloads/Quorvel.app";
    result = folder.path() + "/result.json";
    logFile = folder.path() + "/install.log";
    testing::makeBundle(app, kId, "2.0.0", folder.path());
    testing::makeBundle(fresh, kId, "2.1.0", folder.path());
    oldDigest = treeDigest(app);
    // In-process runs register the desktop entry too; keep it out of the user's folder.
    ::setenv("XDG_DATA_HOME", (folder.path() + "/xdg").c_str(), 1);
  }

  void TearDown() override { ::unsetenv("XDG_DATA_HOME"); }

  void signAndNotarise() {
    testing::signAs(fresh, "leaf");
    testing::notarise(fresh);
  }

  std::vector<std::string> arguments(const std::string& version = "2.1.0") const {
    return {"--app", app,      "--new", fresh,      "--version", version, "--bundle-id",
            kId,     "--team", kTeam,   "--result", result,      "--log", logFile};
  }

  testing::Outcome run(std::vector<std::string> extra = {}, const std::string& version = "2.1.0",
                       const std::string& installer = BUNDLESWAP_PATH,
                       std::vector<std::string> environment = {}) {
    auto all = arguments(version);
    all.insert(all.end(), extra.begin(), extra.end());
    environment.push_back("XDG_DATA_HOME=" + folder.path() + "/xdg");
    return testing::runProgram(installer, all, environment);
  }

  // In-process run with chosen renames and no real sleeping.
  int runHere(const System& system, std::vector<std::string> extra = {}) {
    std::vector<std::string> commandLine = {"bundleswap"};
    auto all = arguments();
    commandLine.insert(commandLine.end(), all.begin(), all.end());
    commandLine.insert(commandLine.end(), extra.begin(), extra.end());
    return runInstaller(commandLine, system, currentHost());
  }

  std::vector<std::string> appsFolder() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder.path() + "/Apps")) {
      names.push_back(item.path().filename().string());
    }
    return names;
  }

  nlohmann::json resultDocument() const { return nlohmann::json::parse(readText(result)); }

  std::vector<std::string> logMessages() const {
    std::vector<std::string> messages;
    for (const auto& line : quorvel::split(readText(logFile), '\n', false)) {
      messages.push_back(line.substr(line.find(' ') + 1));
    }
    return messages;
  }

  testing::TempDir folder;
  std::string app, fresh, result, logFile, oldDigest;
};

System quickSystem() {
  System system = linuxSystem();
  system.sleep = [](std::chrono::milliseconds) {};
  return system;
}

TEST_F(Install, StrictInstallReplacesTheBundleAndRelaunchesIt) {
  signAndNotarise();
  const std::string cleanup = folder.path() + "/Downloads/update.zip";
  testing::writeText(cleanup, "zip");
  quorvel::SpawnRequest sleeper;
  sleeper.executable = "/bin/sleep";
  sleeper.arguments = {"0.5"};
  const quorvel::Spawned waited = quorvel::spawnProcess(sleeper);
  ASSERT_TRUE(waited.ok());
  // Reaped as soon as it ends, so the installer sees it gone rather than a zombie.
  std::thread reaper([pid = waited.pid] { quorvel::waitForExit(pid); });
  // The environment the server hands on: its own, over the launcher's.
  const std::vector<std::string> serverEnvironment = {
      "PATH=/bundle/bin:/usr/bin:/bin",
      "PORT=5177",
      "QUORVEL_VERSION=2.0.0",
      "QUORVEL_BUNDLE=/old/Contents",
      "QUORVEL_DATA=/old data",
      "QUORVEL_SESSION_PATH=/home/u/bin:/usr/local/bin:/usr/bin:/bin",
      "LANG=C.UTF-8"};
  const testing::Outcome outcome =
      run({"--wait", std::to_string(waited.pid), "--cleanup", cleanup, "--relaunch-arg", "--port",
           "--relaunch-arg", "5177", "--relaunch-env", "QUORVEL_DATA=/data dir", "--relaunch-env",
           "PATH=/nowhere"},
          "2.1.0", BUNDLESWAP_PATH, serverEnvironment);
  reaper.join();
  EXPECT_EQ(outcome.status, 0) << outcome.output;

  const std::string newDigest = treeDigest(fresh);
  EXPECT_EQ(treeDigest(app), newDigest);
  EXPECT_EQ(appsFolder(), std::vector<std::string>{"Quorvel.app"});
  EXPECT_FALSE(fs::exists(cleanup));
  const auto document = resultDocument();
  EXPECT_EQ(document.size(), 4u);
  EXPECT_EQ(document["ok"], true);
  EXPECT_EQ(document["from"], "2.0.0");
  EXPECT_EQ(document["to"], "2.1.0");
  EXPECT_EQ(testing::relaunchRecord(folder.path(), "2.1.0"),
            "arg=--port\narg=5177\narg=--after-update\nQUORVEL_DATA=/data dir\n");
  const auto relaunched = testing::relaunchEnvironment(folder.path(), "2.1.0");
  const auto has = [&](const std::string& entry) {
    return std::find(relaunched.begin(), relaunched.end(), entry) != relaunched.end();
  };
  EXPECT_TRUE(has("PATH=/home/u/bin:/usr/local/bin:/usr/bin:/bin"));
  EXPECT_TRUE(has("LANG=C.UTF-8"));
  for (const char* name :
       {"PORT=", "QUORVEL_VERSION=", "QUORVEL_BUNDLE=", "QUORVEL_SESSION_PATH="}) {
    EXPECT_TRUE(std::none_of(relaunched.begin(), relaunched.end(), [&](const std::string& entry) {
      return entry.starts_with(name);
    })) << name;
  }
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"开始：2.0.0 → 2.1.0，" + app, "拷过去的这一份检查过了",
                                      "换好了", "打开了 " + app}));
  EXPECT_NE(readText(folder.path() + "/xdg/applications/quorvel.desktop")
                .find("\nExec=\"" + app + "/Contents/MacOS/App\" %U\n"),
            std::string::npos);
}

struct Refusal {
  const char* name;
  std::function<void(Install&)> prepare;
  std::string code;
  std::string detail;  // the error's beginning
  std::string version = "2.1.0";
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class Refused : public Install, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refused, KeepsTheInstalledBundleAndRelaunchesIt) {
  const Refusal& refusal = GetParam();
  refusal.prepare(*this);
  const testing::Outcome outcome = run({}, refusal.version);
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  EXPECT_EQ(treeDigest(app), oldDigest);
  EXPECT_EQ(appsFolder(), std::vector<std::string>{"Quorvel.app"});
  const auto document = resultDocument();
  EXPECT_EQ(document.size(), 6u);
  EXPECT_EQ(document["ok"], false);
  EXPECT_EQ(document["from"], "2.0.0");
  EXPECT_EQ(document["to"], refusal.version);
  EXPECT_EQ(document["code"], refusal.code);
  const std::string error = document["error"];
  EXPECT_TRUE(error.starts_with(refusal.detail)) << error;
  EXPECT_NE(readText(logFile).find(" 没换成（" + refusal.code + "）：" + error + "\n"),
            std::string::npos);
  EXPECT_EQ(testing::relaunchRecord(folder.path(), "2.0.0"), "arg=--after-update\n");
}

void signedAndNotarised(Install& t) { t.signAndNotarise(); }

const Refusal kRefusals[] = {
    {"not_notarised", [](Install& t) { testing::signAs(t.fresh, "leaf"); }, "gatekeeper",
     "rejected: no notarisation ticket"},
    {"other_team",
     [](Install& t) {
       testing::signAs(t.fresh, "other");
       testing::notarise(t.fresh);
     },
     "verify", "签名不对（6）certificate leaf[subject.OU] is \"TEAMB67890\", not \"TEAMA12345\""},
    {"no_application_marker",
     [](Install& t) {
       testing::signAs(t.fresh, "plain");
       testing::notarise(t.fresh);
     },
     "verify", "签名不对（6）certificate leaf[field.1.2.840.113635.100.6.1.13] is missing"},
    {"unpinned_root",
     [](Install& t) {
       testing::signAs(t.fresh, "rogue");
       testing::notarise(t.fresh);
     },
     "verify", "签名不对（6）anchor apple generic: no chain to a pinned root: "},
    {"changed_file",
     [](Install& t) {
       t.signAndNotarise();
       testing::writeText(t.fresh + "/Contents/Resources/data.txt", "changed\n");
     },
     "verify", "签名不对（4）modified: Contents/Resources/data.txt"},
    {"added_file",
     [](Install& t) {
       t.signAndNotarise();
       testing::writeText(t.fresh + "/Contents/Resources/added.txt", "added\n");
     },
     "verify", "签名不对（4）not sealed: Contents/Resources/added.txt"},
    {"removed_file",
     [](Install& t) {
       t.signAndNotarise();
       fs::remove(t.fresh + "/Contents/Resources/nested/more.txt");
     },
     "verify", "签名不对（4）missing: Contents/Resources/nested/more.txt"},
    {"link_out_of_the_bundle",
     [](Install& t) {
       t.signAndNotarise();
       fs::create_symlink("/etc/passwd", t.fresh + "/Contents/Resources/passwd");
     },
     "verify", "签名不对（4）link leaves the bundle: Contents/Resources/passwd -> /etc/passwd"},
    {"signature_of_another_seal",
     [](Install& t) {
       t.signAndNotarise();
       const std::string signature = readText(t.fresh + "/Contents/_CodeSignature/CodeSignature");
       testing::writeText(t.fresh + "/Contents/Resources/added.txt", "added\n");
       t.signAndNotarise();
       testing::writeText(t.fresh + "/Contents/_CodeSignature/CodeSignature", signature);
     },
     "verify", "签名不对（5）the signature does not match the seal"},
    {"unsigned", [](Install&) {}, "verify", "签名不对（2）code object is not sealed"},
    {"adhoc", [](Install& t) { testing::sealAdhoc(t.fresh); }, "verify",
     "签名不对（6）anchor apple generic: not signed by a publisher"},
    {"wrong_version", signedAndNotarised, "version",
     "是 org.test.Quorvel 2.1.0，要的是 org.test.Quorvel 2.1.1", "2.1.1"},
    {"other_identifier",
     [](Install& t) {
       testing::makeBundle(t.fresh + ".other", "org.test.Other", "2.1.0", t.folder.path());
       fs::remove_all(t.fresh);
       fs::rename(t.fresh + ".other", t.fresh);
       t.signAndNotarise();
     },
     "verify", "签名不对（6）identifier \"org.test.Other\" is not \"org.test.Quorvel\""},
    {"missing_new_bundle", [](Install& t) { fs::remove_all(t.fresh); }, "copy",
     "/usr/bin/cp: cannot stat"},
    {"setuid_executable",
     [](Install& t) {
       t.signAndNotarise();
       ::chmod((t.fresh + "/Contents/MacOS/App").c_str(), 04755);
     },
     "verify", "签名不对（4）set-id bit: Contents/MacOS/App"},
    {"world_writable_executable",
     [](Install& t) {
       t.signAndNotarise();
       ::chmod((t.fresh + "/Contents/MacOS/App").c_str(), 0757);
     },
     "verify", "签名不对（4）writable by others: Contents/MacOS/App"},
    {"world_writable_folder",
     [](Install& t) {
       t.signAndNotarise();
       ::chmod((t.fresh + "/Contents/MacOS").c_str(), 0777);
     },
     "verify", "签名不对（4）writable by others: Contents/MacOS"},
    {"fifo",
     [](Install& t) {
       t.signAndNotarise();
       ::mkfifo((t.fresh + "/Contents/Resources/pipe").c_str(), 0644);
     },
     "verify", "签名不对（4）not a file, folder or link: Contents/Resources/pipe"},
    {"fifo_in_the_signature_folder",
     [](Install& t) {
       t.signAndNotarise();
       ::mkfifo((t.fresh + "/Contents/_CodeSignature/CodeSignature.pipe").c_str(), 0644);
     },
     "verify", "签名不对（4）not a signature file: Contents/_CodeSignature/CodeSignature.pipe"},
    {"extra_file_in_the_signature_folder",
     [](Install& t) {
       t.signAndNotarise();
       testing::writeText(t.fresh + "/Contents/_CodeSignature/payload.sh", "#!/bin/sh\n");
     },
     "verify", "签名不对（4）not a signature file: Contents/_CodeSignature/payload.sh"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Refused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

bool isRealFolder(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST_F(Install, ADownloadGivenAsALinkIsInstalledAsTheFolderItLeadsTo) {
  signAndNotarise();
  const std::string real = folder.path() + "/Downloads/real.app";
  fs::rename(fresh, real);
  fs::create_symlink(real, fresh);
  const std::string newDigest = treeDigest(real);
  const testing::Outcome outcome = run({"--cleanup", fresh});
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_TRUE(isRealFolder(app));
  EXPECT_FALSE(fs::exists(fs::symlink_status(fresh)));
  testing::writeText(real + "/Contents/Resources/data.txt", "changed later\n");
  fs::remove_all(real);
  EXPECT_EQ(treeDigest(app), newDigest);
}

TEST_F(Install, TheInstalledCopyBelongsToTheInstallingUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the download to another user";
  signAndNotarise();
  const uid_t nobody = 65534;
  ASSERT_EQ(::lchown(fresh.c_str(), nobody, nobody), 0);
  for (const auto& item : fs::recursive_directory_iterator(fresh)) {
    ASSERT_EQ(::lchown(item.path().c_str(), nobody, nobody), 0) << item.path();
  }
  const testing::Outcome outcome = run();
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  struct stat info {};
  ASSERT_EQ(::lstat(app.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);
  for (const auto& item : fs::recursive_directory_iterator(app)) {
    ASSERT_EQ(::lstat(item.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u) << item.path();
  }
}

// An installer carried in a bundle of its own, sealed ad hoc or signed by a publisher.
std::string installerBundle(const std::string& folder, bool adhoc) {
  const std::string bundle = folder + "/Installer.app";
  testing::makeBundle(bundle, "org.test.Installer", "1.0", folder + "/Installer-records");
  fs::create_directories(bundle + "/Contents/Resources/bin");
  fs::copy_file(BUNDLESWAP_PATH, bundle + "/Contents/Resources/bin/bundleswap");
  if (adhoc) {
    testing::sealAdhoc(bundle);
  } else {
    testing::signAs(bundle, "leaf");
    testing::notarise(bundle);
  }
  return bundle + "/Contents/Resources/bin/bundleswap";
}

TEST_F(Install, TestModeOnlyForAnAdhocInstallerAskedTwice) {
  struct Case {
    const char* name;
    bool adhocInstaller;
    bool flag;
    const char* variable;
    bool testMode;
  };
  const std::vector<Case> cases = {
      {"no flag", true, false, "1", false},
      {"variable not exactly 1", true, true, "true", false},
      {"no variable", true, true, nullptr, false},
      {"signed installer", false, true, "1", false},
      {"ad hoc installer, flag and variable", true, true, "1", true},  // last: it installs
  };
  testing::sealAdhoc(fresh);
  const std::string adhocInstaller = installerBundle(folder.path() + "/adhoc", true);
  const std::string signedInstaller = installerBundle(folder.path() + "/signed", false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(logFile);
    std::vector<std::string> environment;
    if (c.variable) environment.push_back(std::string("QUORVEL_UPDATE_TEST=") + c.variable);
    const testing::Outcome outcome =
        run(c.flag ? std::vector<std::string>{"--test"} : std::vector<std::string>{}, "2.1.0",
            c.adhocInstaller ? adhocInstaller : signedInstaller, environment);
    const auto messages = logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "开始：2.0.0 → 2.1.0，" + app +
                                    (c.testMode ? "（测试：不要求团队、不过 Gatekeeper）" : ""));
    EXPECT_EQ(outcome.status, c.testMode ? 0 : 1) << outcome.output;
    EXPECT_EQ(resultDocument()["ok"], c.testMode);
  }
}

TEST_F(Install, TestModeStillChecksIdentifierAndVersion) {
  testing::sealAdhoc(fresh);
  const std::string installer = installerBundle(folder.path(), true);
  const testing::Outcome outcome = run({"--test"}, "2.1.1", installer, {"QUORVEL_UPDATE_TEST=1"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(resultDocument()["code"], "version");
  EXPECT_EQ(treeDigest(app), oldDigest);
}

TEST_F(Install, TwoRenamesStandInForAnExchangeTheVolumeRefuses) {
  signAndNotarise();
  System system = quickSystem();
  system.exchange = [](const std::string&, const std::string&) { return EXDEV; };
  EXPECT_EQ(runHere(system), 0);
  EXPECT_EQ(treeDigest(app), treeDigest(fresh));
  EXPECT_EQ(appsFolder(), std::vector<std::string>{"Quorvel.app"});
  EXPECT_EQ(resultDocument()["ok"], true);
  const auto messages = logMessages();
  EXPECT_EQ(messages.at(2), "不能一步对调（Invalid cross-device link），改成两次改名");
  EXPECT_EQ(messages.at(3), "换好了");
}

TEST_F(Install, FailedRenamesLeaveTheOldBundleInPlace) {
  struct Case {
    const char* name;
    bool failMovingAside;  // otherwise moving the new bundle into place fails
    std::string error;
  };
  const std::vector<Case> cases = {
      {"moving the old bundle aside", true, "挪开旧版：Permission denied"},
      {"moving the new bundle in", false, "放上新版：Permission denied"},
  };
  signAndNotarise();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    System system = quickSystem();
    system.exchange = [](const std::string&, const std::string&) { return EINVAL; };
    const std::string target = app;
    system.rename = [&](const std::string& from, const std::string& to) {
      const bool refused = c.failMovingAside ? from == target
                                             : to == target && from != target &&
                                                   from.find("-old-") == std::string::npos;
      if (refused) return EACCES;
      return linuxSystem().rename(from, to);
    };
    EXPECT_EQ(runHere(system), 1);
    EXPECT_EQ(treeDigest(app), oldDigest);
    EXPECT_EQ(appsFolder(), std::vector<std::string>{"Quorvel.app"});
    const auto document = resultDocument();
    EXPECT_EQ(document["code"], "swap");
    EXPECT_EQ(document["error"], c.error);
    EXPECT_EQ(testing::relaunchRecord(folder.path(), "2.0.0"), "arg=--after-update\n");
    fs::remove(folder.path() + "/relaunched-2.0.0");
  }
}

TEST_F(Install, RelaunchTriesThreeTimesTwoSecondsApart) {
  const std::string executable = app + "/Contents/MacOS/App";
  const std::string script = readText(executable);
  fs::remove(executable);
  Settings settings;
  settings.logPath = logFile;
  std::vector<std::chrono::milliseconds> sleeps;
  System system = linuxSystem();
  system.sleep = [&](std::chrono::milliseconds duration) { sleeps.push_back(duration); };
  launch(app, settings, system);
  const std::string failure =
      "打不开 " + app + "（第 %d 次）：" + executable + ": posix_spawn: No such file or directory";
  std::vector<std::string> expected;
  for (const char* n : {"1", "2", "3"}) {
    expected.push_back(failure.substr(0, failure.find("%d")) + n +
                       failure.substr(failure.find("%d") + 2));
  }
  EXPECT_EQ(logMessages(), expected);
  EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>(3, std::chrono::seconds(2)));

  // The program turns up while the installer waits: the second attempt starts it.
  fs::remove(logFile);
  sleeps.clear();
  system.sleep = [&](std::chrono::milliseconds duration) {
    sleeps.push_back(duration);
    testing::writeText(executable, script);
    fs::permissions(executable, fs::perms::owner_all);
  };
  launch(app, settings, system);
  EXPECT_EQ(logMessages(), (std::vector<std::string>{expected[0], "打开了 " + app}));
  EXPECT_EQ(sleeps.size(), 1u);
  EXPECT_EQ(testing::relaunchRecord(folder.path(), "2.0.0"), "arg=--after-update\n");
}

TEST_F(Install, ARelaunchThatFailsDoesNotUndoTheExchange) {
  const std::string plist = fresh + "/Contents/Info.plist";
  std::string text = readText(plist);
  text.replace(text.find("<string>App</string>"), 20, "<string>Gone</string>");
  testing::writeText(plist, text);
  signAndNotarise();
  EXPECT_EQ(runHere(quickSystem()), 0);
  EXPECT_EQ(resultDocument()["ok"], true);
  const auto messages = logMessages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.starts_with("打不开 "); }),
            3);
}

TEST_F(Install, ProcessStillRunningAfterTwoMinutesIsBusy) {
  signAndNotarise();
  quorvel::SpawnRequest sleeper;
  sleeper.executable = "/bin/sleep";
  sleeper.arguments = {"600"};
  const quorvel::Spawned running = quorvel::spawnProcess(sleeper);
  ASSERT_TRUE(running.ok());
  const auto start = std::chrono::steady_clock::now();
  auto clock = start;
  System system = linuxSystem();
  system.now = [&] { return clock; };
  system.sleep = [&](std::chrono::milliseconds duration) { clock += duration; };
  const int status =
      runHere(system, {"--wait", "abc", "--wait", std::to_string(running.pid), "--wait", "1"});
  ::kill(running.pid, SIGKILL);
  quorvel::waitForExit(running.pid);
  EXPECT_EQ(status, 1);
  EXPECT_GT(clock - start, std::chrono::seconds(120));
  EXPECT_LT(clock - start, std::chrono::milliseconds(120400));
  EXPECT_EQ(treeDigest(app), oldDigest);
  EXPECT_EQ(appsFolder(), std::vector<std::string>{"Quorvel.app"});
  const auto document = resultDocument();
  EXPECT_EQ(document.size(), 6u);
  EXPECT_EQ(document["code"], "busy");
  EXPECT_EQ(document["error"], "still running");
  EXPECT_EQ(logMessages().back(),
            "等了两分钟还没退出：[" + std::to_string(running.pid) + ", 1]，不换了");
}

}  // namespace
}  // namespace bundleswap
