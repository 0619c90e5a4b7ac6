#include "server/options.h"

#include "common/text.h"

namespace sonacap {

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i + 1 >= args.size()) break;
    if (arg == "--socket") {
      options.socketPath = args[++i];
    } else if (arg == "--screen") {
      options.screenPath = args[++i];
    } else if (arg == "--bundles") {
      options.bundles = quorvel::split(args[++i], ',', false);
    }
  }
  return options;
}

}  // namespace sonacap
