#include "bundleswap/verify.h"

#include <variant>

#include "bundleswap/plist.h"
#include "bundleswap/requirement.h"
#include "bundleswap/seal.h"
#include "bundleswap/signature.h"
#include "common/files.h"
#include "common/text.h"

namespace bundleswap {
namespace {

constexpr const char* kNotarisedMarker = "source=Notarized Developer ID";
constexpr const char* kIntermediateMarker = "1.2.840.113635.100.6.2.6";
constexpr const char* kApplicationMarker = "1.2.840.113635.100.6.1.13";

// Statuses of the signature checks above those of the seal check.
enum class SignatureStatus { broken = 5, unmet = 6 };

std::string unsound(int status, const std::string& description) {
  return "签名不对（" + std::to_string(status) + "）" + description;
}

std::optional<std::string> readOptional(const std::string& bundlePath, const char* file) {
  const std::string path = quorvel::joinPath(bundlePath, file);
  return quorvel::pathExists(path) ? quorvel::readFile(path) : std::nullopt;
}

}  // namespace

Trust trustOf(const std::string& installedBundle) {
  return {quorvel::joinPath(installedBundle, "Contents/Resources/trust/publisher-roots.pem"),
          quorvel::joinPath(installedBundle, "Contents/Resources/trust/notary-roots.pem")};
}

std::string requirementText(const Expected& expected, bool strict) {
  std::string identifier = "identifier \"" + expected.bundleId + "\"";
  if (!strict) return identifier;
  return identifier + " and anchor apple generic and certificate 1[field." + kIntermediateMarker +
         "] and certificate leaf[field." + kApplicationMarker +
         "] and certificate leaf[subject.OU] = \"" + expected.teamId + "\"";
}

std::optional<std::string> checkSignature(const std::string& bundlePath, const SealCheck& seal,
                                          const std::string& requirement, const Trust& trust) {
  if (seal.status == SealStatus::notABundle) return "读不到签名";
  auto compiled = compileRequirement(requirement);
  if (std::holds_alternative<std::string>(compiled)) return "要求写得不对：" + requirement;
  if (seal.status != SealStatus::ok)
    return unsound(static_cast<int>(seal.status), seal.description);
  std::optional<Signer> signer;
  if (const auto der = readOptional(bundlePath, kSignatureFile)) {
    auto read = readSigner(*der, seal.sealBytes);
    if (auto* error = std::get_if<std::string>(&read)) {
      return unsound(static_cast<int>(SignatureStatus::broken), *error);
    }
    signer = std::move(std::get<Signer>(read));
  }
  const SignedCode code{seal.identifier, signer ? &*signer : nullptr, trust.publisherRoots};
  const std::string unmet = unmetClause(std::get<Requirement>(compiled), code);
  if (!unmet.empty()) return unsound(static_cast<int>(SignatureStatus::unmet), unmet);
  return std::nullopt;
}

ToolRun assess(const std::string& bundlePath, const SealCheck& seal, const Trust& trust) {
  const auto rejected = [](const std::string& why) { return ToolRun{3, "rejected: " + why}; };
  if (seal.status != SealStatus::ok) return rejected(seal.description);
  const auto der = readOptional(bundlePath, kSignatureFile);
  if (!der) return rejected("not signed by a publisher");
  auto publisher = readSigner(*der, seal.sealBytes);
  if (auto* error = std::get_if<std::string>(&publisher)) return rejected(*error);
  const SignedCode code{seal.identifier, &std::get<Signer>(publisher), trust.publisherRoots};
  const Requirement developerId = {{Clause::Kind::anchor, {}, 0, {}},
                                   {Clause::Kind::field, {}, 1, kIntermediateMarker},
                                   {Clause::Kind::field, {}, 0, kApplicationMarker}};
  if (const std::string unmet = unmetClause(developerId, code); !unmet.empty()) {
    return rejected("not a Developer ID application: " + unmet);
  }
  const auto ticket = readOptional(bundlePath, kTicketFile);
  if (!ticket) return rejected("no notarisation ticket");
  auto notary = readSigner(*ticket, seal.sealBytes);
  if (auto* error = std::get_if<std::string>(&notary)) {
    return rejected("notarisation ticket: " + *error);
  }
  auto chain = chainToRoots(std::get<Signer>(notary), trust.notaryRoots);
  if (auto* error = std::get_if<std::string>(&chain)) {
    return rejected("notarisation ticket: " + *error);
  }
  return {0, "accepted\n" + std::string(kNotarisedMarker) +
                 "\norigin=" + subjectLine(std::get<Signer>(publisher).leaf.get())};
}

std::optional<Failure> verify(const std::string& bundlePath, bool strict, const Expected& expected,
                              const Trust& trust) {
  const SealCheck seal = checkSeal(bundlePath);
  if (auto message = checkSignature(bundlePath, seal, requirementText(expected, strict), trust)) {
    return Failure{"verify", *message};
  }
  if (strict) {
    const ToolRun assessment = assess(bundlePath, seal, trust);
    if (assessment.status != 0 || assessment.output.find(kNotarisedMarker) == std::string::npos) {
      return Failure{"gatekeeper", quorvel::trimWhitespace(assessment.output)};
    }
  }
  const std::string identifier = plistValue(bundlePath, "CFBundleIdentifier");
  const std::string version = plistValue(bundlePath, "CFBundleShortVersionString");
  if (identifier == expected.bundleId && version == expected.version) return std::nullopt;
  return Failure{"version", "是 " + identifier + " " + version + "，要的是 " + expected.bundleId +
                                " " + expected.version};
}

std::string bundleOfExecutable(const std::string& executablePath) {
  const auto slash = executablePath.rfind('/');
  if (slash == std::string::npos) return {};
  const std::string folder = executablePath.substr(0, slash);
  for (const std::string suffix : {"/Contents/Resources/bin", "/Contents/MacOS"}) {
    if (folder.ends_with(suffix) && folder.size() > suffix.size()) {
      return folder.substr(0, folder.size() - suffix.size());
    }
  }
  return {};
}

bool selfIsAdhoc(const std::string& executablePath) {
  const std::string bundle = bundleOfExecutable(executablePath);
  if (bundle.empty() || checkSeal(bundle).status != SealStatus::ok) return false;
  return !quorvel::pathExists(quorvel::joinPath(bundle, kSignatureFile)) &&
         !quorvel::pathExists(quorvel::joinPath(bundle, kTicketFile));
}

}  // namespace bundleswap
