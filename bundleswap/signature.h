#pragma once

#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace bundleswap {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

struct Der {
  std::string bytes;
};

// A detached CMS signature (DER) over content by the key, carrying the certificate and the
// chain's other certificates (PEM files; chainPath may be empty). An error text otherwise.
std::variant<Der, std::string> signDetached(const std::string& content, const std::string& keyPath,
                                            const std::string& certificatePath,
                                            const std::string& chainPath);

// Who made a signature that is valid over its content.
struct Signer {
  Certificate leaf;
  std::vector<Certificate> carried;  // every certificate the signature carries
};

// Checks that the DER signature is intact and made over content by its one signer; trust is
// not decided here. An error text otherwise.
std::variant<Signer, std::string> readSigner(const std::string& der, const std::string& content);

// The chain from the leaf to a root of the PEM file, leaf first, using the carried
// certificates as intermediates; an error text when no such chain verifies.
std::variant<std::vector<Certificate>, std::string> chainToRoots(const Signer& signer,
                                                                 const std::string& rootsPath);

// The chain as the signer's certificates link up by issuer, leaf first, without any trust.
std::vector<Certificate> carriedChain(const Signer& signer);

// Whether the certificate has an extension with this dotted OID.
bool hasExtension(X509* certificate, const std::string& oid);

// The first organisational unit of the certificate's subject, if any.
std::optional<std::string> organisationalUnit(X509* certificate);

// The subject as one line, for messages.
std::string subjectLine(X509* certificate);

}  // namespace bundleswap
