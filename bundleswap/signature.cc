#include "bundleswap/signature.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include "common/files.h"

namespace bundleswap {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct BorrowedStackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Cms = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using Stack = std::unique_ptr<STACK_OF(X509), StackFree>;

// The text of OpenSSL's most recent error, clearing its queue.
std::string lastError(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + ": " + text;
}

Bio memoryOf(const std::string& bytes) {
  return Bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::optional<std::vector<Certificate>> readCertificates(const std::string& path) {
  const auto bytes = quorvel::readFile(path);
  if (!bytes) return std::nullopt;
  const Bio bio = memoryOf(*bytes);
  std::vector<Certificate> certificates;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  ERR_clear_error();
  return certificates;
}

Certificate copyOf(X509* certificate) {
  X509_up_ref(certificate);
  return Certificate(certificate);
}

Stack stackOf(const std::vector<Certificate>& certificates) {
  Stack stack(sk_X509_new_null());
  for (const auto& certificate : certificates)
    sk_X509_push(stack.get(), copyOf(certificate.get()).release());
  return stack;
}

}  // namespace

std::variant<Der, std::string> signDetached(const std::string& content, const std::string& keyPath,
                                            const std::string& certificatePath,
                                            const std::string& chainPath) {
  const auto keyBytes = quorvel::readFile(keyPath);
  if (!keyBytes) return "cannot read the key " + keyPath;
  const Bio keyBio = memoryOf(*keyBytes);
  const std::unique_ptr<EVP_PKEY, KeyFree> key(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  if (!key) return lastError("cannot load the key " + keyPath);
  auto leaf = readCertificates(certificatePath);
  if (!leaf || leaf->empty()) {
    return "cannot read a certificate from " + certificatePath;
  }
  std::vector<Certificate> chain;
  if (!chainPath.empty()) {
    auto read = readCertificates(chainPath);
    if (!read) return "cannot read the chain " + chainPath;
    chain = std::move(*read);
  }
  const Stack extra = stackOf(chain);
  const Bio data = memoryOf(content);
  const Cms cms(
      CMS_sign(leaf->front().get(), key.get(), extra.get(), data.get(), CMS_DETACHED | CMS_BINARY));
  if (!cms) return lastError("cannot sign");
  unsigned char* der = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &der);
  if (length <= 0) return lastError("cannot encode");
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return Der{std::move(bytes)};
}

std::variant<Signer, std::string> readSigner(const std::string& der, const std::string& content) {
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  const Cms cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms) return lastError("not a CMS signature");
  const Bio data = memoryOf(content);
  if (CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                 CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
    return lastError("the signature does not match the seal");
  }
  // The signers' stack lends its certificates; only the stack itself is freed.
  const std::unique_ptr<STACK_OF(X509), BorrowedStackFree> signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1) {
    return std::string("the signature must have exactly one signer");
  }
  Signer signer;
  signer.leaf = copyOf(sk_X509_value(signers.get(), 0));
  const Stack carried(CMS_get1_certs(cms.get()));
  for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
    signer.carried.push_back(copyOf(sk_X509_value(carried.get(), i)));
  }
  return signer;
}

std::variant<std::vector<Certificate>, std::string> chainToRoots(const Signer& signer,
                                                                 const std::string& rootsPath) {
  const auto roots = readCertificates(rootsPath);
  if (!roots || roots->empty()) return "no pinned roots at " + rootsPath;
  const std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  for (const auto& root : *roots) X509_STORE_add_cert(store.get(), root.get());
  X509_VERIFY_PARAM_set_purpose(X509_STORE_get0_param(store.get()), X509_PURPOSE_ANY);
  const Stack untrusted = stackOf(signer.carried);
  const std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (X509_STORE_CTX_init(context.get(), store.get(), signer.leaf.get(), untrusted.get()) != 1) {
    return lastError("cannot check the chain");
  }
  if (X509_verify_cert(context.get()) != 1) {
    return std::string("no chain to a pinned root: ") +
           X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
  }
  std::vector<Certificate> chain;
  STACK_OF(X509)* verified = X509_STORE_CTX_get0_chain(context.get());
  chain.reserve(static_cast<size_t>(sk_X509_num(verified)));
  for (int i = 0; i < sk_X509_num(verified); ++i) {
    chain.push_back(copyOf(sk_X509_value(verified, i)));
  }
  return chain;
}

std::vector<Certificate> carriedChain(const Signer& signer) {
  std::vector<Certificate> chain;
  chain.push_back(copyOf(signer.leaf.get()));
  while (chain.size() <= signer.carried.size()) {
    X509* last = chain.back().get();
    if (X509_check_issued(last, last) == X509_V_OK) break;
    X509* issuer = nullptr;
    for (const auto& candidate : signer.carried) {
      if (X509_check_issued(candidate.get(), last) == X509_V_OK) issuer = candidate.get();
    }
    if (!issuer) break;
    chain.push_back(copyOf(issuer));
  }
  return chain;
}

bool hasExtension(X509* certificate, const std::string& oid) {
  ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
  if (!object) return false;
  const bool found = X509_get_ext_by_OBJ(certificate, object, -1) >= 0;
  ASN1_OBJECT_free(object);
  return found;
}

std::optional<std::string> organisationalUnit(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
  if (index < 0) return std::nullopt;
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(&text, value);
  if (length < 0) return std::nullopt;
  std::string unit(reinterpret_cast<char*>(text), static_cast<size_t>(length));
  OPENSSL_free(text);
  return unit;
}

std::string subjectLine(X509* certificate) {
  const Bio bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                     XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace bundleswap
