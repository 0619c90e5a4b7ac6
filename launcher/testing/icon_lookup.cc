// Looks an icon up as a desktop does, through the freedesktop icon theme: icon_lookup NAME
// prints the sizes the theme has it in and exits 0, or exits 1 when the theme has no such icon.
#include <QGuiApplication>
#include <QIcon>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: icon_lookup NAME\n", stderr);
    return 2;
  }
  QGuiApplication application(argc, argv);
  // Where desktops look for icon themes (~/.icons, then icons/ in each XDG data folder), which a
  // desktop's platform plugin tells Qt and a display-less one does not; and hicolor, the theme
  // every desktop falls back to.
  const QString home = qEnvironmentVariable("HOME");
  QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
  if (!dataHome.startsWith('/')) dataHome = home + "/.local/share";
  QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
  if (dataDirs.isEmpty()) dataDirs = QStringLiteral("/usr/local/share:/usr/share");
  QStringList bases = {home + "/.icons", dataHome + "/icons"};
  for (const QString& dir : dataDirs.split(':', Qt::SkipEmptyParts)) bases.append(dir + "/icons");
  QIcon::setThemeSearchPaths(bases);
  QIcon::setThemeName(QStringLiteral("hicolor"));
  const QIcon icon = QIcon::fromTheme(QString::fromUtf8(argv[1]));
  if (icon.isNull() || icon.availableSizes().isEmpty()) return 1;
  for (const QSize& size : icon.availableSizes())
    std::printf("%dx%d\n", size.width(), size.height());
  return 0;
}
