#include "bundleswap/seal.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "common/files.h"
#include "common/text.h"

namespace bundleswap {
namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string systemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Why an item may not be part of an installed bundle: someone other than the user running
// this could change it, or it would run with another user's rights.
std::optional<std::string> unsafeMode(const struct stat& info, const std::string& path) {
  const std::string shown = path.empty() ? "the bundle folder" : path;
  if (info.st_uid != ::geteuid()) return "owned by another user: " + shown;
  if (S_ISLNK(info.st_mode)) return std::nullopt;
  if ((info.st_mode & (S_ISUID | S_ISGID)) != 0) return "set-id bit: " + shown;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by others: " + shown;
  return std::nullopt;
}

// The signature folder holds only what the signing tool writes there, as plain files.
// parentFd is the Contents folder, name the signature folder's name in it.
std::optional<std::string> checkSignatureFolder(int parentFd, const char* name) {
  const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return systemError("cannot open", kSignatureFolder);
  DIR* folder = ::fdopendir(fd);
  if (!folder) {
    ::close(fd);
    return systemError("cannot list", kSignatureFolder);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
  const std::string prefix = std::string(kSignatureFolder) + "/";
  errno = 0;
  while (const dirent* item = ::readdir(folder)) {
    const std::string entry = item->d_name;
    if (entry == "." || entry == "..") continue;
    const std::string path = prefix + entry;
    if (path != kSealFile && path != kSignatureFile && path != kTicketFile) {
      return "not a signature file: " + path;
    }
    struct stat info {};
    if (::fstatat(::dirfd(folder), entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return systemError("cannot read", path);
    }
    if (!S_ISREG(info.st_mode)) return "not a file: " + path;
    if (auto unsafe = unsafeMode(info, path)) return unsafe;
    errno = 0;
  }
  if (errno != 0) return systemError("cannot list", kSignatureFolder);
  return std::nullopt;
}

// One read buffer for a whole listing: a fresh one per file would cost more than the hashing.
using Buffer = std::vector<unsigned char>;

std::variant<SealEntry, std::string> hashFile(int folderFd, const char* name,
                                              const std::string& path, mode_t mode,
                                              Buffer& buffer) {
  // Non-blocking, so a pipe put in the file's place after it was listed cannot stall us.
  const int fd = ::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return systemError("cannot open", path);
  const FdCloser closer{fd};
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) return "not a file: " + path;
  std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return "SHA-256 is not available";
  }
  while (true) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return systemError("cannot read", path);
    }
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  static const char* hex = "0123456789abcdef";
  SealEntry entry;
  for (unsigned int i = 0; i < length; ++i) {
    entry.sha256 += hex[digest[i] >> 4];
    entry.sha256 += hex[digest[i] & 15];
  }
  entry.executable = (mode & 0111) != 0;
  return entry;
}

// Lists the folder open at folderFd, whose path in the bundle is prefix ("" for the root).
std::optional<std::string> listFolder(int folderFd, const std::string& prefix, Listing& listing,
                                      Buffer& buffer) {
  const int dupFd = ::dup(folderFd);
  if (dupFd < 0) return systemError("cannot list", prefix);
  DIR* folder = ::fdopendir(dupFd);
  if (!folder) {
    ::close(dupFd);
    return systemError("cannot list", prefix);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(folder, ::closedir);
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* item = ::readdir(folder)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (errno != 0) return systemError("cannot list", prefix);
  for (const auto& name : names) {
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    struct stat info {};
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return systemError("cannot read", path);
    }
    if (path == kSignatureFolder) {
      // Unsealed, so it must not be a way out of the bundle either.
      if (!S_ISDIR(info.st_mode)) return "not a folder: " + path;
      if (auto unsafe = unsafeMode(info, path)) return unsafe;
      if (auto error = checkSignatureFolder(folderFd, name.c_str())) return error;
      continue;
    }
    if (auto unsafe = unsafeMode(info, path)) return unsafe;
    if (S_ISREG(info.st_mode)) {
      auto hashed = hashFile(folderFd, name.c_str(), path, info.st_mode, buffer);
      if (auto* error = std::get_if<std::string>(&hashed)) return *error;
      listing[path] = std::get<SealEntry>(hashed);
    } else if (S_ISLNK(info.st_mode)) {
      std::vector<char> target(static_cast<size_t>(info.st_size) + 2);
      const ssize_t n = ::readlinkat(folderFd, name.c_str(), target.data(), target.size());
      if (n < 0 || static_cast<size_t>(n) >= target.size()) {
        return systemError("cannot read link", path);
      }
      listing[path] = {SealEntry::Kind::link, {}, false, std::string(target.data(), n)};
    } else if (S_ISDIR(info.st_mode)) {
      const int childFd =
          ::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) return systemError("cannot open", path);
      const FdCloser childCloser{childFd};
      listing[path] = {SealEntry::Kind::folder, {}, false, {}};
      if (auto error = listFolder(childFd, path, listing, buffer)) return error;
    } else {
      return "not a file, folder or link: " + path;
    }
  }
  return std::nullopt;
}

// Where a link's text leads from the folder holding it, following the listing's links met on
// the way; absent when the walk steps above the bundle or goes round in circles.
std::optional<std::vector<std::string>> resolveLink(const Listing& listing,
                                                    std::vector<std::string> folder,
                                                    const std::string& target, int depth) {
  if (depth > 32 || target.starts_with("/")) return std::nullopt;
  for (const auto& component : quorvel::split(target, '/', false)) {
    if (component == ".") continue;
    if (component == "..") {
      if (folder.empty()) return std::nullopt;
      folder.pop_back();
      continue;
    }
    folder.push_back(component);
    const auto found = listing.find(quorvel::join(folder, "/"));
    if (found == listing.end() || found->second.kind != SealEntry::Kind::link) continue;
    folder.pop_back();
    auto resolved = resolveLink(listing, folder, found->second.target, depth + 1);
    if (!resolved) return std::nullopt;
    folder = std::move(*resolved);
  }
  return folder;
}

const char* kindName(SealEntry::Kind kind) {
  switch (kind) {
    case SealEntry::Kind::file:
      return "file";
    case SealEntry::Kind::link:
      return "link";
    case SealEntry::Kind::folder:
      return "folder";
  }
  return "file";
}

std::optional<Listing> parseSeal(const std::string& bytes, std::string& identifier) {
  const auto document = nlohmann::json::parse(bytes, nullptr, false);
  if (!document.is_object() || !document.contains("identifier") ||
      !document["identifier"].is_string() || !document.contains("entries") ||
      !document["entries"].is_object()) {
    return std::nullopt;
  }
  identifier = document["identifier"].get<std::string>();
  Listing listing;
  for (const auto& [path, value] : document["entries"].items()) {
    if (!value.is_object() || !value.contains("type") || !value["type"].is_string()) {
      return std::nullopt;
    }
    const std::string type = value["type"].get<std::string>();
    SealEntry entry;
    if (type == "file" && value.contains("sha256") && value["sha256"].is_string() &&
        value.contains("executable") && value["executable"].is_boolean()) {
      entry = {SealEntry::Kind::file,
               value["sha256"].get<std::string>(),
               value["executable"].get<bool>(),
               {}};
    } else if (type == "link" && value.contains("target") && value["target"].is_string()) {
      entry = {SealEntry::Kind::link, {}, false, value["target"].get<std::string>()};
    } else if (type == "folder") {
      entry = {SealEntry::Kind::folder, {}, false, {}};
    } else {
      return std::nullopt;
    }
    listing[path] = entry;
  }
  return listing;
}

// Clears set-id bits and write access for group and others on everything in the bundle, so a
// tree built under a permissive umask can be sealed.
std::optional<std::string> restrictModes(const std::string& bundlePath) {
  std::optional<std::string> failure;
  const auto restrict = [&](const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return;
    const mode_t wanted = info.st_mode & 07777 & ~(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);
    if (wanted != (info.st_mode & 07777) && ::chmod(path.c_str(), wanted) != 0 && !failure) {
      failure = systemError("cannot change the mode of", path);
    }
  };
  restrict(bundlePath);
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(bundlePath, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    restrict(it->path().string());
  }
  if (error && !failure) failure = "cannot list " + bundlePath + ": " + error.message();
  return failure;
}

}  // namespace

std::variant<Listing, std::string> listBundle(const std::string& bundlePath) {
  // The bundle itself must be a folder, not a link that could later lead elsewhere.
  const int rootFd = ::open(bundlePath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (rootFd < 0) return systemError("cannot open", bundlePath);
  const FdCloser closer{rootFd};
  struct stat root {};
  if (::fstat(rootFd, &root) != 0) return systemError("cannot read", bundlePath);
  if (auto unsafe = unsafeMode(root, "")) return *unsafe;
  Listing listing;
  Buffer buffer(1 << 20);
  if (auto error = listFolder(rootFd, "", listing, buffer)) return *error;
  for (const auto& [path, entry] : listing) {
    if (entry.kind != SealEntry::Kind::link) continue;
    auto folder = quorvel::split(path, '/', false);
    folder.pop_back();
    if (!resolveLink(listing, folder, entry.target, 0)) {
      return "link leaves the bundle: " + path + " -> " + entry.target;
    }
  }
  return listing;
}

std::string sealDocument(const std::string& identifier, const Listing& listing) {
  nlohmann::json entries = nlohmann::json::object();
  for (const auto& [path, entry] : listing) {
    nlohmann::json value = {{"type", kindName(entry.kind)}};
    if (entry.kind == SealEntry::Kind::file) {
      value["sha256"] = entry.sha256;
      value["executable"] = entry.executable;
    } else if (entry.kind == SealEntry::Kind::link) {
      value["target"] = entry.target;
    }
    entries[path] = value;
  }
  const nlohmann::json document = {{"identifier", identifier}, {"entries", entries}};
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

SealCheck checkSeal(const std::string& bundlePath) {
  struct stat root {};
  if (::lstat(bundlePath.c_str(), &root) != 0 || !S_ISDIR(root.st_mode)) {
    return {SealStatus::notABundle, "no bundle at " + bundlePath, {}, {}};
  }
  const std::string sealPath = quorvel::joinPath(bundlePath, kSealFile);
  struct stat info {};
  if (::lstat(sealPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {SealStatus::unsealed, "code object is not sealed", {}, {}};
  }
  auto bytes = quorvel::readFile(sealPath);
  if (!bytes) return {SealStatus::unsealed, "the seal cannot be read", {}, {}};
  std::string identifier;
  const auto sealed = parseSeal(*bytes, identifier);
  if (!sealed) return {SealStatus::sealMalformed, "the seal is malformed", {}, {}};
  auto current = listBundle(bundlePath);
  if (auto* error = std::get_if<std::string>(&current)) {
    return {SealStatus::changed, *error, identifier, {}};
  }
  const auto& listing = std::get<Listing>(current);
  for (const auto& [path, entry] : *sealed) {
    const auto found = listing.find(path);
    if (found == listing.end()) return {SealStatus::changed, "missing: " + path, identifier, {}};
    if (!(found->second == entry)) {
      return {SealStatus::changed, "modified: " + path, identifier, {}};
    }
  }
  for (const auto& [path, entry] : listing) {
    if (!sealed->contains(path)) {
      return {SealStatus::changed, "not sealed: " + path, identifier, {}};
    }
  }
  return {SealStatus::ok, {}, identifier, std::move(*bytes)};
}

std::optional<std::string> sealBundle(const std::string& bundlePath,
                                      const std::string& identifier) {
  if (auto error = restrictModes(bundlePath)) return error;
  auto listed = listBundle(bundlePath);
  if (auto* error = std::get_if<std::string>(&listed)) return *error;
  const std::string folder = quorvel::joinPath(bundlePath, kSignatureFolder);
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    return systemError("cannot create", folder);
  }
  for (const char* stale : {kSignatureFile, kTicketFile}) {
    const std::string path = quorvel::joinPath(bundlePath, stale);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return systemError("cannot remove", path);
  }
  const std::string sealPath = quorvel::joinPath(bundlePath, kSealFile);
  if (!quorvel::writeFile(sealPath, sealDocument(identifier, std::get<Listing>(listed)))) {
    return "cannot write " + sealPath;
  }
  return std::nullopt;
}

}  // namespace bundleswap
