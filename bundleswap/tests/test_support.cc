#include "bundleswap/tests/test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <variant>

#include "bundleswap/seal.h"
#include "common/files.h"
#include "common/text.h"

extern char** environ;

namespace bundleswap::testing {

const std::string& testCa() {
  static TempDir folder;
  static const bool made = [] {
    const Outcome made = runProgram("/bin/bash", {TEST_CA_SCRIPT, folder.path()});
    if (made.status != 0) throw std::runtime_error("make-test-ca.sh failed: " + made.output);
    return true;
  }();
  (void)made;
  return folder.path();
}

void writeText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_TRUE(quorvel::writeFile(path, text)) << path;
}

std::string readText(const std::string& path) { return quorvel::readFile(path).value_or(""); }

void makeBundle(const std::string& path, const std::string& identifier, const std::string& version,
                const std::string& recordDir) {
  const std::string contents = path + "/Contents";
  writeText(contents + "/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<plist version=\"1.0\">\n<dict>\n"
            "\t<key>CFBundleIdentifier</key>\n\t<string>" +
                identifier +
                "</string>\n"
                "\t<key>CFBundleExecutable</key>\n\t<string>App</string>\n"
                "\t<key>CFBundleShortVersionString</key>\n\t<string>" +
                version +
                "</string>\n"
                "</dict>\n</plist>\n");
  const std::string record = recordDir + "/relaunched-" + version;
  writeText(
      contents + "/MacOS/App",
      "#!/bin/sh\n"
      "env | sort > '" +
          record +
          ".env'\n"
          "{ for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done; env | grep '^QUORVEL_' | sort; }"
          " > '" +
          record + ".tmp' && mv '" + record + ".tmp' '" + record + "'\n");
  ::chmod((contents + "/MacOS/App").c_str(), 0755);
  writeText(contents + "/Resources/data.txt", "data of " + version + "\n");
  writeText(contents + "/Resources/nested/more.txt", std::string(10000, 'x'));
  ::symlink("data.txt", (contents + "/Resources/data-link").c_str());
  writeText(contents + "/Resources/trust/publisher-roots.pem", readText(testCa() + "/root.pem"));
  writeText(contents + "/Resources/trust/notary-roots.pem",
            readText(testCa() + "/notary-root.pem"));
  writeText(contents + "/Resources/quorvel.desktop",
            "[Desktop Entry]\nType=Application\nName=Test\n"
            "Exec=\"/build/place/App.app/Contents/MacOS/App\" %U\n");
}

Outcome runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
  quorvel::SpawnRequest request;
  request.executable = executable;
  request.arguments = arguments;
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string inherited = *entry;
    const std::string name = inherited.substr(0, inherited.find('=') + 1);
    if (std::none_of(environment.begin(), environment.end(),
                     [&](const std::string& given) { return given.starts_with(name); })) {
      entries.push_back(inherited);
    }
  }
  entries.insert(entries.end(), environment.begin(), environment.end());
  request.environment = entries;
  std::string error;
  const auto captured = quorvel::runCaptured(request, &error);
  if (!captured) return {-1, error};
  return {captured->status.shellCode(), captured->output};
}

namespace {

void signTool(const std::vector<std::string>& arguments) {
  const Outcome outcome = runProgram(BUNDLESIGN_PATH, arguments);
  ASSERT_EQ(outcome.status, 0) << outcome.output;
}

}  // namespace

void sealAdhoc(const std::string& bundle) { signTool({"seal", bundle}); }

void signAs(const std::string& bundle, const std::string& who) {
  const std::string& ca = testCa();
  const std::string chain =
      who == "rogue" ? ca + "/rogue-intermediate.pem" : ca + "/intermediate.pem";
  signTool({"sign", "--key", ca + "/" + who + ".key", "--cert", ca + "/" + who + ".pem", "--chain",
            chain, bundle});
}

void notarise(const std::string& bundle) {
  const std::string& ca = testCa();
  signTool({"notarize", "--key", ca + "/notary.key", "--cert", ca + "/notary.pem", bundle});
}

bool waitForFile(const std::string& path) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < limit) {
    if (quorvel::pathExists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string treeDigest(const std::string& bundle) {
  auto listed = listBundle(bundle);
  if (auto* error = std::get_if<std::string>(&listed)) return "unlistable: " + *error;
  std::string digest = sealDocument("", std::get<Listing>(listed));
  for (const char* file : {kSealFile, kSignatureFile, kTicketFile}) {
    digest += std::string("\n") + file + ":" + readText(bundle + "/" + file);
  }
  return digest;
}

std::string relaunchRecord(const std::string& recordDir, const std::string& version) {
  const std::string path = recordDir + "/relaunched-" + version;
  if (!waitForFile(path)) return "(not relaunched)";
  return readText(path);
}

std::vector<std::string> relaunchEnvironment(const std::string& recordDir,
                                             const std::string& version) {
  if (relaunchRecord(recordDir, version) == "(not relaunched)") return {};
  return quorvel::split(readText(recordDir + "/relaunched-" + version + ".env"), '\n', false);
}

}  // namespace bundleswap::testing
