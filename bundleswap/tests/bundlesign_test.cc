#include <gtest/gtest.h>

#include <filesystem>

#include "bundleswap/platform.h"
#include "bundleswap/tests/test_support.h"
#include "common/desktop_install.h"

namespace bundleswap {
namespace {

namespace fs = std::filesystem;

TEST(Bundlesign, WrongCommandLinesGetTheUsage) {
  const std::string usage =
      "usage: bundlesign seal [--identifier ID] BUNDLE\n"
      "       bundlesign sign --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] [--identifier ID] "
      "BUNDLE\n"
      "       bundlesign notarize --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] BUNDLE\n"
      "       bundlesign check [--publisher-roots ROOTS.pem --notary-roots ROOTS.pem] BUNDLE\n";
  const std::vector<std::vector<std::string>> wrong = {{},
                                                       {"seal"},
                                                       {"sign", "B.app"},
                                                       {"seal", "--key", "k", "B.app"},
                                                       {"check", "--publisher-roots", "p", "B.app"},
                                                       {"stamp", "B.app"},
                                                       {"seal", "A.app", "B.app"}};
  for (const auto& arguments : wrong) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const testing::Outcome outcome = testing::runProgram(BUNDLESIGN_PATH, arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.output, usage);
  }
}

TEST(Bundlesign, ChecksAsTheInstallerWould) {
  testing::TempDir folder;
  const std::string bundle = folder.path() + "/Q.app";
  testing::makeBundle(bundle, "org.test.Quorvel", "1.0", folder.path());
  const std::string& ca = testing::testCa();
  const std::vector<std::string> roots = {"--publisher-roots", ca + "/root.pem", "--notary-roots",
                                          ca + "/notary-root.pem"};
  const auto check = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "check");
    arguments.push_back(bundle);
    return testing::runProgram(BUNDLESIGN_PATH, arguments);
  };

  const testing::Outcome unsealed = check({});
  EXPECT_EQ(unsealed.status, 1);
  EXPECT_EQ(unsealed.output, "bundlesign: code object is not sealed\n");

  const testing::Outcome notarising = testing::runProgram(
      BUNDLESIGN_PATH,
      {"notarize", "--key", ca + "/notary.key", "--cert", ca + "/notary.pem", bundle});
  EXPECT_EQ(notarising.status, 1);
  EXPECT_EQ(notarising.output,
            "bundlesign: the bundle does not match its seal: code object is not sealed\n");

  testing::sealAdhoc(bundle);
  EXPECT_EQ(check({}).output, "sealed: org.test.Quorvel\n");
  const testing::Outcome adhoc = check(roots);
  EXPECT_EQ(adhoc.status, 1);
  EXPECT_EQ(adhoc.output, "rejected: not signed by a publisher\nbundlesign: not accepted\n");

  testing::signAs(bundle, "leaf");
  testing::notarise(bundle);
  const testing::Outcome accepted = check(roots);
  EXPECT_EQ(accepted.status, 0);
  EXPECT_EQ(accepted.output,
            "accepted\nsource=Notarized Developer ID\norigin=O = Team A, OU = TEAMA12345, CN = "
            "Developer ID Application: Team A\n");

  // Sealing again drops the signature and the ticket, which covered the old contents.
  testing::sealAdhoc(bundle);
  EXPECT_FALSE(fs::exists(bundle + "/Contents/_CodeSignature/CodeSignature"));
  EXPECT_FALSE(fs::exists(bundle + "/Contents/_CodeSignature/Notarization"));

  fs::create_symlink("../../..", bundle + "/Contents/Resources/up");
  const testing::Outcome escaping = testing::runProgram(BUNDLESIGN_PATH, {"seal", bundle});
  EXPECT_EQ(escaping.status, 1);
  EXPECT_EQ(escaping.output,
            "bundlesign: link leaves the bundle: Contents/Resources/up -> ../../..\n");
}

TEST(DesktopEntry, ExecLinesNameTheInstalledExecutable) {
  const std::string entry =
      "[Desktop Entry]\nName=Quorvel\nTryExec=/build/Q.app/Contents/MacOS/Quorvel\n"
      "Exec=\"/build/Q.app/Contents/MacOS/Quorvel\" %U\n\n[Desktop Action open]\n"
      "Exec=/build/Q.app/Contents/MacOS/Quorvel --open\n";
  EXPECT_EQ(
      quorvel::desktopEntryFor(entry,
                               "/home/u/Apps/Quorvel 100% \"$x\".app/Contents/MacOS/Quorvel"),
      "[Desktop Entry]\nName=Quorvel\nTryExec=/build/Q.app/Contents/MacOS/Quorvel\n"
      "Exec=\"/home/u/Apps/Quorvel 100%% \\\\\"\\\\$x\\\\\".app/Contents/MacOS/Quorvel\" %U\n\n"
      "[Desktop Action open]\n"
      "Exec=\"/home/u/Apps/Quorvel 100%% \\\\\"\\\\$x\\\\\".app/Contents/MacOS/Quorvel\" --open\n");
}

// The entry for an executable in a folder of each awkward name must be valid, and GLib's
// launcher must start exactly that executable from it.
TEST(DesktopEntry, AwkwardPathsSurviveTheDesktopsReading) {
  struct Case {
    const char* name;
    const char* folder;
    bool glibLaunches;  // GLib checks the program before expanding %%, so it cannot find it
  };
  const std::vector<Case> cases = {
      {"space", "Quorvel Apps", true},     {"double quote", "say \"hi\"", true},
      {"single quote", "it's", true},      {"backslash", "back\\slash", true},
      {"two backslashes", "a\\\\b", true}, {"dollar", "$HOME and ${x}", true},
      {"backtick", "`id`", true},          {"percent", "100% %U", false},
      {"everything", "a \\\"$`'%", false},
  };
  testing::TempDir folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string executable = folder.path() + "/" + c.folder + "/Quorvel";
    const std::string record = folder.path() + "/started";
    testing::writeText(executable, "#!/bin/sh\nprintf %s \"$0\" > '" + record + ".tmp' && mv '" +
                                       record + ".tmp' '" + record + "'\n");
    fs::permissions(executable, fs::perms::owner_all);
    const std::string entryPath = folder.path() + "/quorvel.desktop";
    testing::writeText(entryPath,
                       quorvel::desktopEntryFor("[Desktop Entry]\nType=Application\nName=Q\n"
                                                "Exec=/build/Quorvel %U\n",
                                                executable));
    const auto valid = testing::runProgram("/usr/bin/desktop-file-validate", {entryPath});
    EXPECT_EQ(valid.status, 0) << valid.output;
    EXPECT_EQ(valid.output, "");
    if (!c.glibLaunches) continue;
    fs::remove(record);
    const auto launched = testing::runProgram("/usr/bin/gio", {"launch", entryPath});
    EXPECT_EQ(launched.status, 0) << launched.output;
    ASSERT_TRUE(testing::waitForFile(record));
    EXPECT_EQ(testing::readText(record), executable);
  }
}

TEST(DesktopEntry, RegisteringWritesTheUserApplicationsFolder) {
  testing::TempDir folder;
  const std::string bundle = folder.path() + "/Apps/Q.app";
  testing::makeBundle(bundle, "org.test.Quorvel", "1.0", folder.path());
  ::setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
  registerBundle(bundle);
  EXPECT_EQ(testing::readText(folder.path() + "/data/applications/quorvel.desktop"),
            "[Desktop Entry]\nType=Application\nName=Test\nExec=\"" + bundle +
                "/Contents/MacOS/App\" %U\n");
  ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace bundleswap
