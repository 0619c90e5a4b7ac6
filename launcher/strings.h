#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::launcher {

// Key to (language code to text).
using StringTable = std::map<std::string, std::map<std::string, std::string>>;

// The launcher's own texts in "zh-Hans", "zh-Hant", "ja" and "en".
const StringTable& builtInStrings();

// The interface language for the user's preferred language codes, most preferred first.
std::string chooseLanguage(const std::vector<std::string>& preferredLanguages);

// Looks up key in lang (then English, then the key itself) and replaces each "%@" in order by
// the next argument; without arguments the text is returned as it stands.
std::string t(const StringTable& strings, const std::string& lang, const std::string& key,
              const std::vector<std::string>& arguments = {});

// The table and the language chosen at start-up, for lookups with t.
struct Texts {
  const StringTable* strings = &builtInStrings();
  std::string lang = "en";
  std::string operator()(const std::string& key,
                         const std::vector<std::string>& arguments = {}) const {
    return t(*strings, lang, key, arguments);
  }
};

}  // namespace quorvel::launcher
