#include "bundleswap/seal.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <variant>

#include "bundleswap/requirement.h"
#include "bundleswap/tests/test_support.h"
#include "bundleswap/verify.h"

namespace bundleswap {
namespace {

namespace fs = std::filesystem;

TEST(CompileRequirement, AcceptsTheLanguageAndNothingElse) {
  struct Case {
    const char* text;
    bool compiles;
  };
  const std::vector<Case> cases = {
      {R"(identifier "org.quorvel.Quorvel")", true},
      {R"(identifier "a" and anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] and certificate leaf[field.1.2.840.113635.100.6.1.13] and certificate leaf[subject.OU] = "ABCDE12345")",
       true},
      {R"(identifier org.quorvel.Quorvel)", false},
      {R"(identifier "a" and)", false},
      {R"(identifier "a" or anchor apple generic)", false},
      {R"(anchor apple)", false},
      {R"(certificate leaf[field.1..2])", false},
      {R"(certificate leaf[field.abc])", false},
      {R"(certificate leaf[subject.OU] "X")", false},
      {R"(certificate middle[field.1.2])", false},
      {R"(identifier "unterminated)", false},
      {R"(identifier "a" ; anchor apple generic)", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(std::holds_alternative<Requirement>(compileRequirement(c.text)), c.compiles);
  }
}

class BundleTree : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = folder.path() + "/B.app";
    testing::writeText(bundle + "/Contents/Info.plist", "plist");
    testing::writeText(bundle + "/Contents/Resources/a/file.txt", "text");
    std::filesystem::create_directories(bundle + "/Contents/Resources/empty");
  }
  void link(const std::string& target, const std::string& at) {
    ASSERT_EQ(::symlink(target.c_str(), (bundle + "/" + at).c_str()), 0);
  }
  std::string listingError() {
    auto listed = listBundle(bundle);
    auto* error = std::get_if<std::string>(&listed);
    return error ? *error : "";
  }
  testing::TempDir folder;
  std::string bundle;
};

TEST_F(BundleTree, LinksMustResolveInsideTheBundle) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // target, place
    std::string error;
  };
  const std::vector<Case> cases = {
      {"relative inside", {{"a/file.txt", "Contents/Resources/l"}}, ""},
      {"up to the root", {{"../..", "Contents/Resources/l"}}, ""},
      {"dangling inside", {{"nothing", "Contents/Resources/l"}}, ""},
      {"absolute",
       {{"/etc/passwd", "Contents/Resources/l"}},
       "link leaves the bundle: Contents/Resources/l -> /etc/passwd"},
      {"above the root",
       {{"../../../x", "Contents/Resources/l"}},
       "link leaves the bundle: Contents/Resources/l -> ../../../x"},
      {"through another link",
       {{"../..", "Contents/Resources/up"}, {"Contents/Resources/up/..", "l"}},
       "link leaves the bundle: l -> Contents/Resources/up/.."},
      {"loop",
       {{"m", "Contents/l"}, {"l", "Contents/m"}},
       "link leaves the bundle: Contents/l -> m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [target, at] : c.links) link(target, at);
    EXPECT_EQ(listingError(), c.error);
    for (const auto& [target, at] : c.links) ::unlink((bundle + "/" + at).c_str());
  }
}

TEST_F(BundleTree, PipesAndSocketsAreRefused) {
  ASSERT_EQ(::mkfifo((bundle + "/Contents/pipe").c_str(), 0644), 0);
  EXPECT_EQ(listingError(), "not a file, folder or link: Contents/pipe");
  ::unlink((bundle + "/Contents/pipe").c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = bundle + "/Contents/s";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listingError(), "not a file, folder or link: Contents/s");
  ::close(fd);
}

TEST_F(BundleTree, SealingTakesAwayWhatOnlyTheOwnerMayHave) {
  const std::string executable = bundle + "/Contents/Resources/a/file.txt";
  ::chmod(executable.c_str(), 06777);
  ::chmod((bundle + "/Contents/Resources").c_str(), 0775);
  EXPECT_EQ(listingError(), "writable by others: Contents/Resources");
  ASSERT_FALSE(sealBundle(bundle, "org.test.B").has_value());
  EXPECT_EQ(checkSeal(bundle).status, SealStatus::ok);
  struct stat info {};
  ASSERT_EQ(::stat(executable.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat((bundle + "/Contents/Resources").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
}

TEST_F(BundleTree, SealNoticesEveryKindOfChange) {
  ASSERT_FALSE(sealBundle(bundle, "org.test.B").has_value());
  EXPECT_EQ(checkSeal(bundle).status, SealStatus::ok);
  EXPECT_EQ(checkSeal(bundle).identifier, "org.test.B");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
    std::string description;
  };
  const std::vector<Case> cases = {
      {"contents",
       [](const std::string& b) { testing::writeText(b + "/Contents/Info.plist", "plisT"); },
       "modified: Contents/Info.plist"},
      {"mode", [](const std::string& b) { ::chmod((b + "/Contents/Info.plist").c_str(), 0755); },
       "modified: Contents/Info.plist"},
      {"added file", [](const std::string& b) { testing::writeText(b + "/Contents/extra", ""); },
       "not sealed: Contents/extra"},
      {"added folder",
       [](const std::string& b) { std::filesystem::create_directories(b + "/Contents/new"); },
       "not sealed: Contents/new"},
      {"removed file",
       [](const std::string& b) { std::filesystem::remove(b + "/Contents/Resources/a/file.txt"); },
       "missing: Contents/Resources/a/file.txt"},
      {"file made a link",
       [](const std::string& b) {
         std::filesystem::remove(b + "/Contents/Info.plist");
         std::filesystem::create_symlink("Resources/a/file.txt", b + "/Contents/Info.plist");
       },
       "modified: Contents/Info.plist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir copy;
    const std::string changed = copy.path() + "/B.app";
    std::filesystem::copy(
        bundle, changed,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    ASSERT_EQ(checkSeal(changed).status, SealStatus::ok);
    c.change(changed);
    const SealCheck check = checkSeal(changed);
    EXPECT_EQ(check.status, SealStatus::changed);
    EXPECT_EQ(check.description, c.description);
  }
  const std::string stray = bundle + "/" + kSignatureFolder + "/anything";
  testing::writeText(stray, "the signature folder is not sealed, so it holds nothing else");
  EXPECT_EQ(checkSeal(bundle).description,
            "not a signature file: Contents/_CodeSignature/anything");
  fs::remove(stray);
  EXPECT_EQ(checkSeal(bundle).status, SealStatus::ok);
  const std::string linked = folder.path() + "/Linked.app";
  fs::create_directory_symlink(bundle, linked);
  EXPECT_EQ(checkSeal(linked).status, SealStatus::notABundle);
  const auto listed = listBundle(linked);
  ASSERT_TRUE(std::holds_alternative<std::string>(listed));
  EXPECT_TRUE(std::get<std::string>(listed).starts_with("cannot open " + linked + ": "));
  const std::string signatures = bundle + "/" + kSignatureFolder;
  fs::rename(signatures, bundle + "/elsewhere");
  fs::create_directory_symlink("../elsewhere", signatures);
  EXPECT_EQ(checkSeal(bundle).description, "not a folder: Contents/_CodeSignature");
  fs::remove(signatures);
  fs::rename(bundle + "/elsewhere", signatures);
  testing::writeText(bundle + "/" + kSealFile, "{\"identifier\": 3}");
  EXPECT_EQ(checkSeal(bundle).status, SealStatus::sealMalformed);
  std::filesystem::remove(bundle + "/" + kSealFile);
  EXPECT_EQ(checkSeal(bundle).status, SealStatus::unsealed);
}

TEST(SelfIsAdhoc, OnlyForASealedUnsignedBundle) {
  testing::TempDir folder;
  const std::string bundle = folder.path() + "/I.app";
  testing::makeBundle(bundle, "org.test.Installer", "1.0", folder.path());
  const std::string installer = bundle + "/Contents/Resources/bin/bundleswap";
  testing::writeText(installer, "installer");
  EXPECT_EQ(bundleOfExecutable(installer), bundle);
  EXPECT_EQ(bundleOfExecutable(bundle + "/Contents/MacOS/App"), bundle);
  EXPECT_EQ(bundleOfExecutable(folder.path() + "/bin/bundleswap"), "");
  EXPECT_FALSE(selfIsAdhoc(installer));
  testing::sealAdhoc(bundle);
  EXPECT_TRUE(selfIsAdhoc(installer));
  testing::writeText(installer, "changed installer");
  EXPECT_FALSE(selfIsAdhoc(installer));
  testing::signAs(bundle, "leaf");
  EXPECT_FALSE(selfIsAdhoc(installer));
  EXPECT_FALSE(selfIsAdhoc(folder.path() + "/bundleswap"));
}

}  // namespace
}  // namespace bundleswap
