#include <pwd.h>
#include <unistd.h>

#include <cstdio>

#include "common/files.h"
#include "common/plist.h"
#include "launcher/desktop_qt.h"
#include "launcher/install.h"
#include "launcher/launcher.h"

extern char** environ;

using namespace quorvel;
using namespace quorvel::launcher;

namespace {

std::string parentDir(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Where desktop environments mount removable disks: a folder per disk below these.
std::vector<std::string> volumeRoots() {
  const passwd* user = ::getpwuid(::getuid());
  const std::string name = user ? user->pw_name : "";
  std::vector<std::string> roots;
  if (!name.empty()) {
    roots.push_back("/media/" + name);
    roots.push_back("/run/media/" + name);
  }
  roots.push_back("/media");
  return roots;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken before the application object, which removes the options it knows itself.
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  // The executable is Contents/MacOS/Quorvel inside the bundle.
  const std::string bundleDir = parentDir(parentDir(executableDir()));
  if (!arguments.empty() && (arguments[0] == "--install" || arguments[0] == "--uninstall")) {
    return installCommand(arguments, bundleDir);
  }
  const std::shared_ptr<Desktop> desktop = makeDesktop(argc, argv);

  Settings settings;
  settings.texts.lang = chooseLanguage(preferredLanguages());
  settings.options = parseOptions(arguments);
  if (const auto problem = portProblem(settings.options.port)) {
    desktop->alert({.message = settings.texts("failed"), .informative = *problem, .buttons = {}});
    return 2;
  }
  settings.paths = makePaths(bundleDir, settings.options, userDataHome());
  settings.version =
      plistString(joinPath(settings.paths.contents, "Info.plist"), "CFBundleShortVersionString")
          .value_or("");
  for (char** entry = environ; *entry; ++entry) settings.environment.emplace_back(*entry);
  settings.volumeRoots = volumeRoots();

  Launcher launcher(desktop, std::move(settings));
  launcher.didFinishLaunching();
  const int status = desktop->run();
  // Worker threads may still be waiting on probes; they have nothing left to finish.
  std::fflush(nullptr);
  ::_exit(status);
}
