#include "bundleswap/plist.h"

#include "common/files.h"
#include "common/plist.h"

namespace bundleswap {

std::string plistValue(const std::string& bundlePath, const std::string& key) {
  return quorvel::plistString(quorvel::joinPath(bundlePath, "Contents/Info.plist"), key)
      .value_or("");
}

}  // namespace bundleswap
