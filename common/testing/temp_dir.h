#pragma once

#include <string>

namespace quorvel::testing {

// A fresh folder for one test, removed with everything in it at the end. It lies under base
// (the temporary directory, TMPDIR or /tmp, when none is given).
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quorvel-test", const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quorvel::testing
