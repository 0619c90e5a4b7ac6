#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/process.h"
#include "common/testing/temp_dir.h"

namespace bundleswap::testing {

using TempDir = quorvel::testing::TempDir;

// The folder of a certificate authority made for this test process (see make-test-ca.sh).
const std::string& testCa();

// Makes a bundle: Info.plist with the identifier and version, an executable Contents/MacOS/App
// that writes its arguments and QUORVEL_ environment to recordDir/relaunched-<version>, a few
// resources with a link inside, and the test CA's roots as its pinned trust.
void makeBundle(const std::string& path, const std::string& identifier, const std::string& version,
                const std::string& recordDir);

struct Outcome {
  int status = -1;
  std::string output;
};

// Runs a program to its end with extra environment entries.
Outcome runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = {});

// The signing tool on a bundle: "seal"; "sign" with a certificate of the test CA ("leaf",
// "other", "plain", "rogue"); "notarize" with the notary. Fails the test when it fails.
void sealAdhoc(const std::string& bundle);
void signAs(const std::string& bundle, const std::string& who);
void notarise(const std::string& bundle);

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

// Waits (a generous guard against hangs, not a timing check) until the file exists.
bool waitForFile(const std::string& path);

// Everything a bundle holds, its signature files included, as one comparable text.
std::string treeDigest(const std::string& bundle);

// The relaunch record of the bundle of this version: "arg=…" lines then QUORVEL_ entries.
std::string relaunchRecord(const std::string& recordDir, const std::string& version);

// The whole environment the relaunched bundle of this version received, "NAME=value" lines.
std::vector<std::string> relaunchEnvironment(const std::string& recordDir,
                                             const std::string& version);

}  // namespace bundleswap::testing
