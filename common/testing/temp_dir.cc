#include "common/testing/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace quorvel::testing {

TempDir::TempDir(const std::string& prefix, const std::string& base) {
  const std::string folder = base.empty() ? std::filesystem::temp_directory_path().string() : base;
  std::string pattern = folder + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp " + pattern + " failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quorvel::testing
