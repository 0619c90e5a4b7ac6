#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace bundleswap {

// Where a bundle keeps its seal, its publisher signature and its notarisation ticket.
inline constexpr const char* kSignatureFolder = "Contents/_CodeSignature";
inline constexpr const char* kSealFile = "Contents/_CodeSignature/CodeResources";
inline constexpr const char* kSignatureFile = "Contents/_CodeSignature/CodeSignature";
inline constexpr const char* kTicketFile = "Contents/_CodeSignature/Notarization";

// One item of a bundle, by its path relative to the bundle.
struct SealEntry {
  enum class Kind { file, link, folder };
  Kind kind = Kind::file;
  std::string sha256;       // files: lower-case hex of the contents
  bool executable = false;  // files: any execute bit set
  std::string target;       // links: the link's text
  bool operator==(const SealEntry&) const = default;
};

using Listing = std::map<std::string, SealEntry>;

// Every file, link and folder of the bundle outside the signature folder, with contents
// hashed; an error text when something else (device, socket, pipe) is found, an item cannot
// be read, a link resolves to a place outside the bundle, the bundle path is itself a link, an
// item belongs to another user than the one running this, is writable by group or others or
// has a set-id bit, or the signature folder holds anything but the signing tool's files.
std::variant<Listing, std::string> listBundle(const std::string& bundlePath);

// The seal's bytes: the identifier and the listing as one compact JSON document.
std::string sealDocument(const std::string& identifier, const Listing& listing);

// Outcomes of checking a bundle's contents against its seal. The numbers appear in messages.
enum class SealStatus {
  ok = 0,
  notABundle = 1,     // no folder at the path
  unsealed = 2,       // no seal file
  sealMalformed = 3,  // the seal is not a seal document
  changed = 4,        // an entry is missing, different or added, or an item is not allowed
};

struct SealCheck {
  SealStatus status = SealStatus::ok;
  std::string description;  // why, when status is not ok
  std::string identifier;   // the sealed bundle identifier
  std::string sealBytes;    // the seal file's exact bytes
};

// Compares the bundle with its seal: every sealed entry present and equal, nothing unsealed
// outside the signature folder, nothing but files, folders and links kept inside the bundle.
SealCheck checkSeal(const std::string& bundlePath);

// Writes a fresh seal for the bundle's current contents and removes any signature and ticket,
// which covered the old seal; set-id bits and write access for group and others are cleared
// first. An error text when the bundle cannot be listed or written.
std::optional<std::string> sealBundle(const std::string& bundlePath, const std::string& identifier);

}  // namespace bundleswap
