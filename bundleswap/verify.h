#pragma once

#include <optional>
#include <string>

#include "bundleswap/failure.h"
#include "bundleswap/report.h"
#include "bundleswap/seal.h"

namespace bundleswap {

// The pinned roots an installed bundle trusts, in its Contents/Resources/trust folder.
struct Trust {
  std::string publisherRoots;  // PEM file
  std::string notaryRoots;     // PEM file
};

Trust trustOf(const std::string& installedBundle);

// What the new bundle must be.
struct Expected {
  std::string bundleId;
  std::string teamId;
  std::string version;
};

// The code requirement text: identifier, publisher chain, Developer ID markers and team when
// strict; the identifier alone otherwise.
std::string requirementText(const Expected& expected, bool strict);

// Absent when the bundle's seal and signature are valid and meet the requirement text;
// otherwise the message for the failure "verify". seal is checkSeal of the bundle, made once
// for both checks since it reads every byte.
std::optional<std::string> checkSignature(const std::string& bundlePath, const SealCheck& seal,
                                          const std::string& requirement, const Trust& trust);

// Judges whether the bundle is a notarised Developer ID application: status 0 and a text
// holding "source=Notarized Developer ID" when it is, a non-zero status and the reason when not.
ToolRun assess(const std::string& bundlePath, const SealCheck& seal, const Trust& trust);

// Checks the staged bundle in the order signature, assessment (strict only), identifier and
// version; the failure "verify", "gatekeeper" or "version" when one does not pass.
std::optional<Failure> verify(const std::string& bundlePath, bool strict, const Expected& expected,
                              const Trust& trust);

// The bundle holding an executable at Contents/MacOS/ or Contents/Resources/bin/; empty when
// the executable lies elsewhere.
std::string bundleOfExecutable(const std::string& executablePath);

// True when the bundle holding the executable has a valid seal and no publisher signature.
bool selfIsAdhoc(const std::string& executablePath);

}  // namespace bundleswap
