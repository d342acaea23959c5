#include "window/run_window.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <string>
#include <vector>

#include "window/window_session.h"

namespace quillmere {

namespace {

// The program writes nothing to standard output or error; the toolkit's own diagnostics
// (a missing runtime folder, a platform plugin's limits) are dropped as well.
void discardToolkitMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

int runWindow(int argc, char** argv) {
  qInstallMessageHandler(discardToolkitMessages);
  // QApplication takes the options it knows (-platform, -style, ...) out of argc and argv.
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quillmere-bridge"));
  QGuiApplication::setDesktopFileName(QStringLiteral("quillmere-bridge"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quillmere-bridge")));

  // The window speaks Simplified Chinese, so the toolkit's own buttons and dialogs do too,
  // whatever the desktop's language.
  QTranslator toolkitTexts;
  if (toolkitTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                        QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(&toolkitTexts);
  }

  std::vector<std::string> openedFiles(argv + 1, argv + argc);
  WindowSession session(std::move(openedFiles));
  session.show();
  return QApplication::exec();
}

}  // namespace quillmere
