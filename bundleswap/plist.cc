#include "bundleswap/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "common/files.h"

namespace bundleswap {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

}  // namespace

std::string plistValue(const std::string& bundlePath, const std::string& key) {
  const auto bytes = quorvel::readFile(quorvel::joinPath(bundlePath, "Contents/Info.plist"));
  if (!bytes || bytes->empty() || bytes->size() > UINT32_MAX) return {};
  plist_t parsed = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &parsed);
  const Plist root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return {};
  const plist_t value = plist_dict_get_item(root.get(), key.c_str());
  if (!value || plist_get_node_type(value) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(value, &text);
  if (!text) return {};
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace bundleswap
