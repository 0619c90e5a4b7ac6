// Kills a real installer at its stages and checks that the installed bundle is whole.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "bundleswap/tests/test_support.h"
#include "common/process.h"
#include "common/text.h"

namespace bundleswap {
namespace {

namespace fs = std::filesystem;

enum class Stage { copy, verification, afterSwap };

struct StageCase {
  const char* name;
  Stage stage;
};

// Adds files large enough that the copy and the hashing each last a while.
void addPayload(const std::string& bundle, const std::string& version) {
  std::string block(256 * 1024, '\0');
  for (int i = 0; i < 256; ++i) {
    for (size_t j = 0; j < block.size(); j += 64) block[j] = static_cast<char>(i + j / 64);
    testing::writeText(bundle + "/Contents/Resources/payload/" + std::to_string(i) + ".bin",
                       version + block);
  }
}

bool anyDescriptorUnder(pid_t pid, const std::string& folder) {
  std::error_code error;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code readError;
    const std::string target = fs::read_symlink(fd.path(), readError).string();
    if (!readError && target.starts_with(folder)) return true;
  }
  return false;
}

std::vector<pid_t> childrenOf(pid_t pid) {
  const std::string path =
      "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  std::vector<pid_t> children;
  for (const auto& word : quorvel::split(testing::readText(path), ' ', false)) {
    children.push_back(static_cast<pid_t>(std::stol(word)));
  }
  return children;
}

// Ended, even if nobody has reaped it yet.
bool ended(pid_t pid) {
  const std::string stat = testing::readText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || stat.substr(close + 2, 1) == "Z";
}

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

void PrintTo(const StageCase& stage, std::ostream* out) { *out << stage.name; }

class Killed : public ::testing::TestWithParam<StageCase> {};

TEST_P(Killed, InstalledBundleStaysWhole) {
  testing::TempDir folder;
  const std::string app = folder.path() + "/Apps/Quorvel.app";
  const std::string fresh = folder.path() + "/Downloads/Quorvel.app";
  testing::makeBundle(app, "org.test.Quorvel", "2.0.0", folder.path());
  testing::makeBundle(fresh, "org.test.Quorvel", "2.1.0", folder.path());
  addPayload(app, "2.0.0");
  addPayload(fresh, "2.1.0");
  testing::signAs(fresh, "leaf");
  testing::notarise(fresh);
  const std::string oldDigest = testing::treeDigest(app);
  const std::string newDigest = testing::treeDigest(fresh);
  const ino_t oldInode = inodeOf(app);

  // Inherited by the installer, whose desktop entry must stay out of the user's folder.
  ::setenv("XDG_DATA_HOME", (folder.path() + "/xdg").c_str(), 1);
  quorvel::SpawnRequest request;
  request.executable = BUNDLESWAP_PATH;
  request.arguments = {"--app",     app,         "--new",       fresh,
                       "--version", "2.1.0",     "--bundle-id", "org.test.Quorvel",
                       "--team",    "TEAMA12345"};
  const quorvel::Spawned installer = quorvel::spawnProcess(request);
  ASSERT_TRUE(installer.ok()) << installer.error;
  const std::string staging =
      folder.path() + "/Apps/.Quorvel-2.1.0-" + std::to_string(installer.pid) + ".app";

  const Stage stage = GetParam().stage;
  const std::function<bool()> reached = [&] {
    switch (stage) {
      case Stage::copy:
        return fs::exists(staging) && !childrenOf(installer.pid).empty();
      case Stage::verification:
        return anyDescriptorUnder(installer.pid, staging);
      case Stage::afterSwap:
        return inodeOf(app) != oldInode;
    }
    return false;
  };
  std::vector<pid_t> orphans;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool seen = false;
  while (!seen && !ended(installer.pid) && std::chrono::steady_clock::now() < limit) {
    seen = reached();
    if (seen) orphans = childrenOf(installer.pid);
    if (seen) ::kill(installer.pid, SIGKILL);
  }
  const quorvel::ExitStatus status = quorvel::waitForExit(installer.pid);
  ASSERT_TRUE(seen) << "the installer never reached the stage";
  EXPECT_TRUE(status.signaled) << "the installer ended before it was killed";

  const std::string digest = testing::treeDigest(app);
  EXPECT_EQ(digest, stage == Stage::afterSwap ? newDigest : oldDigest);
  // A copy left running by the killed installer only ever writes the staging bundle.
  for (const pid_t orphan : orphans) {
    while (!ended(orphan) && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_EQ(testing::treeDigest(app), digest);
}

INSTANTIATE_TEST_SUITE_P(Stages, Killed,
                         ::testing::Values(StageCase{"during_the_copy", Stage::copy},
                                           StageCase{"during_verification", Stage::verification},
                                           StageCase{"right_after_the_swap", Stage::afterSwap}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bundleswap
