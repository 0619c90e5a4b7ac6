#include "server/x11_picker.h"

#include <unistd.h>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <memory>

// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>

namespace sonacap {
namespace {

constexpr QSize kThumbnail(192, 108);
constexpr int kRefreshMilliseconds = 1000;

struct Entry {
  QString label;
  X11Choice choice;
};

class Picker : public QDialog {
 public:
  Picker(std::vector<Entry> displays, std::vector<Entry> windows, std::vector<Entry> applications)
      : entries_{std::move(displays), std::move(windows), std::move(applications)} {
    setWindowTitle(QStringLiteral("Choose what to record"));
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    const QString names[] = {QStringLiteral("Displays"), QStringLiteral("Windows"),
                             QStringLiteral("Applications")};
    for (int kind = 0; kind < 3; ++kind) {
      auto* list = new QListWidget(tabs_);
      list->setViewMode(QListView::IconMode);
      list->setIconSize(kThumbnail);
      list->setResizeMode(QListView::Adjust);
      list->setMovement(QListView::Static);
      list->setWordWrap(true);
      list->setGridSize(QSize(kThumbnail.width() + 24, kThumbnail.height() + 48));
      list->setMinimumSize(3 * (kThumbnail.width() + 24), 2 * (kThumbnail.height() + 48));
      // Blank until the first picture comes, at the size the pictures will have.
      QPixmap blank(kThumbnail);
      blank.fill(Qt::transparent);
      for (const Entry& entry : entries_[kind])
        new QListWidgetItem(QIcon(blank), entry.label, list);
      if (list->count() > 0) list->setCurrentRow(0);
      connect(list, &QListWidget::itemActivated, this, &QDialog::accept);
      lists_[kind] = list;
      tabs_->addTab(list, names[kind]);
    }
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int kind) {
      lists_[kind]->setFocus();
      refresh();
    });
    layout->addWidget(tabs_);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* record =
        buttons->addButton(QStringLiteral("Record"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    record->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this] { refresh(); });
    timer->start(kRefreshMilliseconds);
    refresh();
  }

  // The selected entry, if any.
  const X11Choice* chosen() const {
    const int kind = tabs_->currentIndex();
    const int row = lists_[kind]->currentRow();
    if (row < 0 || row >= static_cast<int>(entries_[kind].size())) return nullptr;
    return &entries_[kind][static_cast<std::size_t>(row)].choice;
  }

 protected:
  void showEvent(QShowEvent* event) override {
    QDialog::showEvent(event);
    lists_[0]->setFocus();
  }

 private:
  // The pictures of the entries on the page shown, as the screen has them now.
  void refresh() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const int kind = tabs_->currentIndex();
    for (int row = 0; row < lists_[kind]->count(); ++row) {
      const X11Choice& choice = entries_[kind][static_cast<std::size_t>(row)].choice;
      // A window's own picture where it is covered is whatever covers it; good enough to
      // tell windows apart.
      const QPixmap picture = choice.kind == X11Choice::Kind::window
                                  ? screen->grabWindow(static_cast<WId>(choice.windows.front()))
                                  : screen->grabWindow(0, choice.area.x, choice.area.y,
                                                       choice.area.width, choice.area.height);
      if (picture.isNull()) continue;
      // Every picture on a canvas of one size, so that the grid stays even.
      QPixmap thumbnail(kThumbnail);
      thumbnail.fill(Qt::transparent);
      const QPixmap scaled =
          picture.scaled(kThumbnail, Qt::KeepAspectRatio, Qt::SmoothTransformation);
      QPainter painter(&thumbnail);
      painter.drawPixmap((kThumbnail.width() - scaled.width()) / 2,
                         (kThumbnail.height() - scaled.height()) / 2, scaled);
      painter.end();
      lists_[kind]->item(row)->setIcon(QIcon(thumbnail));
    }
  }

  std::vector<Entry> entries_[3];
  QTabWidget* tabs_ = nullptr;
  QListWidget* lists_[3] = {};
};

QString sizeText(const Rect& area) {
  return QStringLiteral("%1 × %2").arg(area.width).arg(area.height);
}

}  // namespace

std::variant<X11Choice, PickerCancelled, std::string> runX11Picker(
    const std::function<void()>& shown) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return std::string("XOpenDisplay: cannot open the display");
  std::vector<Entry> displays;
  for (const DesktopMonitor& monitor : desktopMonitors(display)) {
    X11Choice choice;
    choice.kind = X11Choice::Kind::display;
    choice.area = monitor.area;
    displays.push_back(
        {QString::fromStdString(monitor.name) + "\n" + sizeText(monitor.area), std::move(choice)});
  }
  std::vector<DesktopWindow> found = desktopWindows(display);
  XCloseDisplay(display);
  // The recorder's own windows are not offered; the topmost window comes first.
  std::erase_if(found, [](const DesktopWindow& window) { return window.pid == ::getpid(); });
  std::vector<Entry> windows;
  for (auto window = found.rbegin(); window != found.rend(); ++window) {
    X11Choice choice;
    choice.kind = X11Choice::Kind::window;
    choice.area = window->area;
    choice.windows = {window->id};
    if (window->pid > 0) choice.pids = {window->pid};
    const QString title = window->title.empty() ? QString::fromStdString(window->application)
                                                : QString::fromStdString(window->title);
    windows.push_back({title, std::move(choice)});
  }
  std::vector<Entry> applications;
  for (const DesktopApplication& application : desktopApplications(found)) {
    X11Choice choice;
    choice.kind = X11Choice::Kind::application;
    std::vector<Rect> areas;
    for (const DesktopWindow& window : application.windows) {
      choice.windows.push_back(window.id);
      areas.push_back(window.area);
    }
    choice.area = boundingRect(areas);
    choice.pids = application.pids;
    applications.push_back({QString::fromStdString(application.name), std::move(choice)});
  }

  // Qt's notes (a missing XDG_RUNTIME_DIR, a font) are not the recorder's to report.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "%s\n", qPrintable(message));
  });
  int argc = 1;
  char name[] = "sonacap";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  Picker picker(std::move(displays), std::move(windows), std::move(applications));
  QTimer::singleShot(0, &picker, [&] {
    picker.raise();
    picker.activateWindow();
    shown();
  });
  picker.show();
  if (picker.exec() != QDialog::Accepted || picker.chosen() == nullptr) return PickerCancelled{};
  return *picker.chosen();
}

}  // namespace sonacap
