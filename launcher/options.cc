#include "launcher/options.h"

#include <charconv>

#include "common/files.h"

namespace quorvel::launcher {

std::optional<std::int64_t> parsePortValue(const std::string& value) {
  std::string_view digits = value;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse with the sign so that the most negative 64-bit value still fits.
  const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
  std::int64_t port = 0;
  const auto [end, error] =
      std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), port);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) {
    return std::nullopt;
  }
  return port;
}

std::optional<std::string> portProblem(std::int64_t port) {
  if (port >= 1 && port <= 65535) return std::nullopt;
  return "--port " + std::to_string(port) +
         ": not a TCP port; use a number from 1 to 65535 (the default is 5177).";
}

Options parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--port" || argument == "--data" || argument == "--support") {
      if (!hasValue) break;
      const std::string& value = arguments[++i];
      if (argument == "--port") {
        const auto port = parsePortValue(value);
        if (!port) continue;
        options.port = *port;
      } else if (argument == "--data") {
        options.dataArg = value;
      } else {
        options.supportArg = value;
      }
      options.launchArgs.push_back(argument);
      options.launchArgs.push_back(value);
    } else if (argument == "--no-browser") {
      options.mayOpenBrowser = false;
      options.launchArgs.push_back(argument);
    } else if (argument == "--after-update") {
      options.afterUpdate = true;
    }
  }
  return options;
}

Paths makePaths(const std::string& bundleDir, const Options& options,
                const std::string& userDataHome) {
  Paths paths;
  paths.contents = joinPath(bundleDir, "Contents");
  paths.resources = joinPath(paths.contents, "Resources");
  paths.support = options.supportArg ? *options.supportArg : joinPath(userDataHome, "Quorvel");
  paths.locationFile = joinPath(paths.support, "data-location");
  paths.defaultData = joinPath(paths.support, "Data");
  return paths;
}

}  // namespace quorvel::launcher
