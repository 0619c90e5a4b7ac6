#include "launcher/desktop_qt.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "common/files.h"

namespace quorvel::launcher {
namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 'T';
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// The event loop, the main queue and the termination signals, shared by both desktops.
class QtEventLoop : public Desktop {
 public:
  explicit QtEventLoop(QCoreApplication* app) : app_(app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
      struct sigaction action {};
      action.sa_handler = onSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
      notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app_);
      QObject::connect(notifier_, &QSocketNotifier::activated, app_, [this] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        if (onQuit_) onQuit_();
      });
    }
    // The server is stopped through the quit flow, never by a broken pipe.
    std::signal(SIGPIPE, SIG_IGN);
  }

  void post(Task task) override {
    QMetaObject::invokeMethod(app_, std::move(task), Qt::QueuedConnection);
  }

  void postAfter(double seconds, Task task) override {
    post([this, seconds, task = std::move(task)] {
      QTimer::singleShot(static_cast<int>(seconds * 1000), app_, task);
    });
  }

  int run() override { return QCoreApplication::exec(); }
  void exit(int status) override { QCoreApplication::exit(status); }

 protected:
  QCoreApplication* app_;
  Task onQuit_;

 private:
  QSocketNotifier* notifier_ = nullptr;
};

// The application's icon: the desktop theme's, as installed, or else the pictures the bundle
// carries beside this executable (Contents/MacOS/../Resources/icons).
QIcon applicationIcon() {
  QIcon carried;
  const QString icons = QString::fromStdString(executableDir()) + "/../Resources/icons/hicolor";
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    carried.addFile(QStringLiteral("%1/%2x%2/apps/quorvel.png").arg(icons).arg(size),
                    QSize(size, size));
  }
  return QIcon::fromTheme(QStringLiteral("quorvel"), carried);
}

class GraphicalDesktop : public QtEventLoop {
 public:
  explicit GraphicalDesktop(QApplication* app) : QtEventLoop(app) {
    // Closing an alert must not end the application: it has no window of its own.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());
  }

  void installMenu(const Menu& menu) override {
    onQuit_ = menu.onQuit;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    auto* tray = new QSystemTrayIcon(QApplication::windowIcon(), app_);
    auto* items = new QMenu();
    const QString about = QString::fromStdString(menu.about);
    const QString version = QString::fromStdString(menu.version);
    items->addAction(about, [about, version, details = menu.details] {
      QString text = "Quorvel " + version;
      if (details) {
        if (const std::string more = details(); !more.empty()) {
          text += "\n\n" + QString::fromStdString(more);
        }
      }
      QMessageBox::about(nullptr, about, text);
    });
    items->addSeparator();
    items->addAction(QString::fromStdString(menu.open), QKeySequence("Ctrl+O"), menu.onOpen);
    items->addSeparator();
    items->addAction(QString::fromStdString(menu.quit), QKeySequence("Ctrl+Q"), menu.onQuit);
    tray->setContextMenu(items);
    tray->setToolTip("Quorvel");
    QObject::connect(tray, &QSystemTrayIcon::activated, app_,
                     [open = menu.onOpen](QSystemTrayIcon::ActivationReason reason) {
                       if (reason == QSystemTrayIcon::Trigger) open();
                     });
    tray->show();
  }

  // A new window comes to the front by itself; alerts raise themselves.
  void activate() override {}
  bool canAsk() override { return true; }

  std::optional<int> alert(const Alert& alert) override {
    QMessageBox box;
    box.setWindowTitle("Quorvel");
    box.setIcon(QMessageBox::Warning);
    box.setText(QString::fromStdString(alert.message));
    box.setInformativeText(QString::fromStdString(alert.informative));
    std::vector<QAbstractButton*> buttons;
    for (const std::string& title : alert.buttons) {
      buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    if (buttons.empty()) buttons.push_back(box.addButton(QMessageBox::Ok));
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i) {
      if (box.clickedButton() == buttons[i]) return static_cast<int>(i);
    }
    return std::nullopt;
  }

  void openUrl(const std::string& url) override {
    if (!QDesktopServices::openUrl(QUrl(QString::fromStdString(url)))) {
      std::cerr << "Quorvel: no browser could be opened; the page is at " << url << std::endl;
    }
  }
};

class ConsoleDesktop : public QtEventLoop {
 public:
  using QtEventLoop::QtEventLoop;

  void installMenu(const Menu& menu) override { onQuit_ = menu.onQuit; }
  void activate() override {}
  bool canAsk() override { return ::isatty(STDIN_FILENO) != 0; }

  std::optional<int> alert(const Alert& alert) override {
    std::cerr << "\n" << alert.message << "\n";
    if (!alert.informative.empty()) std::cerr << alert.informative << "\n";
    if (alert.buttons.empty()) {
      std::cerr << std::endl;
      return 0;
    }
    for (size_t i = 0; i < alert.buttons.size(); ++i) {
      std::cerr << "  " << i + 1 << ") " << alert.buttons[i] << "\n";
    }
    if (!canAsk()) {
      std::cerr << "(no terminal to answer from: " << alert.buttons[alert.safeAnswer] << ")"
                << std::endl;
      return alert.safeAnswer;
    }
    while (true) {
      std::cerr << "[1-" << alert.buttons.size() << ", Enter for 1] " << std::flush;
      std::string line;
      if (!std::getline(std::cin, line)) return alert.safeAnswer;
      if (line.empty()) return 0;
      const int chosen = std::atoi(line.c_str());
      if (chosen >= 1 && chosen <= static_cast<int>(alert.buttons.size())) return chosen - 1;
    }
  }

  void openUrl(const std::string& url) override {
    std::cerr << "Quorvel: no display to open a browser on; the page is at " << url << std::endl;
  }
};

bool hasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

}  // namespace

// The application object lives as long as the process.
std::shared_ptr<Desktop> makeDesktop(int& argc, char** argv) {
  if (hasDisplay()) {
    auto* app = new QApplication(argc, argv);
    return std::make_shared<GraphicalDesktop>(app);
  }
  auto* app = new QCoreApplication(argc, argv);
  return std::make_shared<ConsoleDesktop>(app);
}

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> codes;
  for (QString code : QLocale::system().uiLanguages()) {
    codes.push_back(code.replace('_', '-').toStdString());
  }
  return codes;
}

std::string userDataHome() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
}

}  // namespace quorvel::launcher
