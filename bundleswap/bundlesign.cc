// bundlesign: seals a bundle ad hoc, signs it as its publisher, adds a notary's ticket, or
// checks a bundle as the installer would.
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bundleswap/plist.h"
#include "bundleswap/seal.h"
#include "bundleswap/signature.h"
#include "bundleswap/verify.h"
#include "common/files.h"

namespace {

using namespace bundleswap;

enum Exit { kDone = 0, kFailed = 1, kUsage = 2 };

constexpr const char* kUsageText =
    "usage: bundlesign seal [--identifier ID] BUNDLE\n"
    "       bundlesign sign --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] [--identifier ID] "
    "BUNDLE\n"
    "       bundlesign notarize --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] BUNDLE\n"
    "       bundlesign check [--publisher-roots ROOTS.pem --notary-roots ROOTS.pem] BUNDLE\n";

struct Request {
  std::string action;
  std::string bundle;
  std::string identifier;
  std::string key;
  std::string certificate;
  std::string chain;
  std::string publisherRoots;
  std::string notaryRoots;
};

std::optional<Request> parse(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  Request request;
  request.action = arguments[0];
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string* field = argument == "--identifier"        ? &request.identifier
                         : argument == "--key"             ? &request.key
                         : argument == "--cert"            ? &request.certificate
                         : argument == "--chain"           ? &request.chain
                         : argument == "--publisher-roots" ? &request.publisherRoots
                         : argument == "--notary-roots"    ? &request.notaryRoots
                                                           : nullptr;
    if (field) {
      if (i + 1 == arguments.size()) return std::nullopt;
      *field = arguments[++i];
    } else if (request.bundle.empty() && !argument.starts_with("--")) {
      request.bundle = argument;
    } else {
      return std::nullopt;
    }
  }
  const bool signs = request.action == "sign" || request.action == "notarize";
  const bool checks = request.action == "check";
  if (request.action != "seal" && !signs && !checks) return std::nullopt;
  if (!checks && !(request.publisherRoots.empty() && request.notaryRoots.empty())) {
    return std::nullopt;
  }
  if (checks &&
      (request.publisherRoots.empty() != request.notaryRoots.empty() || !request.key.empty() ||
       !request.certificate.empty() || !request.chain.empty() || !request.identifier.empty())) {
    return std::nullopt;
  }
  if (request.bundle.empty() || (signs && (request.key.empty() || request.certificate.empty()))) {
    return std::nullopt;
  }
  if (request.action == "seal" &&
      !(request.key.empty() && request.certificate.empty() && request.chain.empty())) {
    return std::nullopt;
  }
  if (request.action == "notarize" && !request.identifier.empty()) return std::nullopt;
  return request;
}

// Signs the bundle's current seal into file; an error text when it cannot.
std::optional<std::string> signSeal(const Request& request, const std::string& sealBytes,
                                    const char* file) {
  auto signature = signDetached(sealBytes, request.key, request.certificate, request.chain);
  if (auto* error = std::get_if<std::string>(&signature)) return *error;
  const std::string path = quorvel::joinPath(request.bundle, file);
  if (!quorvel::writeFile(path, std::get<Der>(signature).bytes)) return "cannot write " + path;
  return std::nullopt;
}

// Prints the seal's identifier, or with roots the assessment the installer would make.
std::optional<std::string> check(const Request& request) {
  const SealCheck seal = checkSeal(request.bundle);
  if (seal.status != SealStatus::ok) return seal.description;
  if (request.publisherRoots.empty()) {
    std::printf("sealed: %s\n", seal.identifier.c_str());
    return std::nullopt;
  }
  const ToolRun assessment =
      assess(request.bundle, seal, {request.publisherRoots, request.notaryRoots});
  std::printf("%s\n", assessment.output.c_str());
  std::fflush(stdout);
  if (assessment.status != 0) return std::string("not accepted");
  return std::nullopt;
}

std::optional<std::string> perform(const Request& request) {
  if (request.action == "check") return check(request);
  if (request.action == "notarize") {
    // A notary vouches only for a bundle that is whole and signed by its publisher.
    const SealCheck seal = checkSeal(request.bundle);
    if (seal.status != SealStatus::ok)
      return "the bundle does not match its seal: " + seal.description;
    const auto der = quorvel::readFile(quorvel::joinPath(request.bundle, kSignatureFile));
    if (!der) return std::string("the bundle is not signed by a publisher");
    auto signer = readSigner(*der, seal.sealBytes);
    if (auto* error = std::get_if<std::string>(&signer)) return *error;
    return signSeal(request, seal.sealBytes, kTicketFile);
  }
  const std::string identifier = request.identifier.empty()
                                     ? plistValue(request.bundle, "CFBundleIdentifier")
                                     : request.identifier;
  if (identifier.empty())
    return "no CFBundleIdentifier in " + request.bundle + "/Contents/Info.plist";
  if (auto error = sealBundle(request.bundle, identifier)) return error;
  if (request.action == "seal") return std::nullopt;
  const auto sealBytes = quorvel::readFile(quorvel::joinPath(request.bundle, kSealFile));
  if (!sealBytes) return std::string("cannot read the new seal");
  return signSeal(request, *sealBytes, kSignatureFile);
}

}  // namespace

int main(int argc, char** argv) {
  const auto request = parse(std::vector<std::string>(argv + 1, argv + argc));
  if (!request) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  if (const auto error = perform(*request)) {
    std::fprintf(stderr, "bundlesign: %s\n", error->c_str());
    return kFailed;
  }
  return kDone;
}
