#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::launcher {

// What the launcher asks of the desktop it runs on. Every call is made on the main thread,
// except post and postAfter, which any thread may call.
class Desktop {
 public:
  using Task = std::function<void()>;

  struct Alert {
    std::string message;
    std::string informative;
    std::vector<std::string> buttons;  // in order, the first is the default; empty: one "OK"
    int safeAnswer = 0;                // the answer when nobody can be asked
  };

  struct Menu {
    std::string about;
    std::string open;
    std::string quit;
    std::string version;                   // shown in the About panel
    std::function<std::string()> details;  // shown in the About panel below the version
    Task onOpen;
    Task onQuit;  // also answers the system's termination requests (SIGTERM, SIGINT, SIGHUP)
  };

  virtual ~Desktop() = default;

  // Runs task on the main thread, after what is already queued.
  virtual void post(Task task) = 0;
  // Runs task on the main thread once seconds have passed.
  virtual void postAfter(double seconds, Task task) = 0;
  // Runs the event loop; returns the process's exit status once exit is called.
  virtual int run() = 0;
  // Ends the event loop with status; the process then ends.
  virtual void exit(int status) = 0;

  virtual void installMenu(const Menu& menu) = 0;
  virtual void activate() = 0;
  // Whether anyone can answer an alert (a display, or a terminal to type the answer in).
  virtual bool canAsk() = 0;
  // Shows a modal alert; the index of the chosen button, or absent when it was dismissed.
  virtual std::optional<int> alert(const Alert& alert) = 0;
  virtual void openUrl(const std::string& url) = 0;
};

}  // namespace quorvel::launcher
