#pragma once

#include <string>

namespace bundleswap {

// The error that ends an installation: a short machine-readable code ("copy", "verify",
// "gatekeeper", "version", "swap") and a text for people.
struct Failure {
  std::string code;
  std::string detail;
};

}  // namespace bundleswap
