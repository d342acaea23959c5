#include "window/run_window.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "window_logic/window_texts.h"
#include "window/single_window.h"
#include "window/window_session.h"

namespace quillmere {

namespace {

constexpr std::array<int, 3> kQuitSignals{SIGTERM, SIGINT, SIGHUP};

// The write end of the pipe the signal handler wakes the event loop through. A signal handler can
// reach nothing else; it is set before the handlers are installed and cleared after they are gone.
std::atomic<int> g_signalPipe{-1};

// Async-signal-safe: one write(2), errno preserved. A full pipe already holds a wake-up.
extern "C" void wakeOnSignal(int signal) {
  const int savedErrno = errno;
  const int fd = g_signalPipe.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

// SIGTERM, SIGINT and SIGHUP end the window as its quit item does (a running save is stopped and
// rolled back first) instead of killing the process in the middle of a batch. The handler only
// writes to a pipe, watched by the event loop. Handlers rather than a blocked mask and a
// signalfd: a blocked mask would be inherited by every program the window starts (the file
// manager it opens would then ignore Ctrl+C and SIGTERM), while handlers are reset by exec.
class QuitSignals {
 public:
  QuitSignals() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
    m_read = UniqueFd(fds[0]);
    m_write = UniqueFd(fds[1]);
    g_signalPipe.store(m_write.get());
    struct sigaction action {};
    action.sa_handler = wakeOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
      ::sigaction(kQuitSignals[i], &action, &m_previous[i]);
    }
  }
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;
  ~QuitSignals() {
    if (!m_write) return;
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i) {
      ::sigaction(kQuitSignals[i], &m_previous[i], nullptr);
    }
    g_signalPipe.store(-1);
  }

  // Calls `quit` on the event loop's thread for the signals that arrive while `context` lives.
  void watch(QObject* context, std::function<void()> quit) {
    if (!m_read) return;
    auto* notifier = new QSocketNotifier(m_read.get(), QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [fd = m_read.get(), quit = std::move(quit)] {
                       std::array<char, 64> drained{};
                       while (::read(fd, drained.data(), drained.size()) > 0) {
                       }
                       quit();
                     });
  }

 private:
  UniqueFd m_read;
  UniqueFd m_write;
  std::array<struct sigaction, kQuitSignals.size()> m_previous{};
};

void writeNoDisplayLine() {
  const std::string line = std::string(texts::kNoDisplay) + "\n";
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

bool isSet(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0';
}

// Whether a desktop session can be reached at all: a display to connect to, or a platform chosen
// on purpose (Qt's -platform option, QT_QPA_PLATFORM such as offscreen or vnc).
bool displayMayExist(int argc, char** argv) {
  if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM")) return true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-platform" || argument == "--platform" || argument.starts_with("-platform=")) {
      return true;
    }
  }
  return false;
}

// While Qt connects to the display, its fatal error (no platform plugin could start: the display
// is unreachable or refuses us) becomes the program's one line and status 1, in place of Qt's own
// text and an abort. Everything else Qt says is dropped.
void failWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type != QtFatalMsg) return;
  writeNoDisplayLine();
  ::_exit(1);
}

// The program writes nothing to standard output or error; the toolkit's own diagnostics
// (a missing runtime folder, a platform plugin's limits) are dropped as well.
void discardToolkitMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

}  // namespace

int runWindow(int argc, char** argv) {
  if (!displayMayExist(argc, argv)) {
    writeNoDisplayLine();
    return 1;
  }
  QuitSignals quitSignals;

  qInstallMessageHandler(failWithoutDisplay);
  // QApplication takes the options it knows (-platform, -style, ...) out of argc and argv.
  QApplication application(argc, argv);
  qInstallMessageHandler(discardToolkitMessages);
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
  // One window per person: with a window already open, the files go to it and this launch ends.
  SingleWindow single;
  if (single.handToOpenWindow(openedFiles)) return 0;
  WindowSession session(std::move(openedFiles));
  single.filesArrived = [&session](std::vector<std::string> files) {
    session.openFromOutside(std::move(files));
  };
  quitSignals.watch(&session.toolkit(), [&session] { session.quitFromOutside(); });
  session.show();
  return QApplication::exec();
}

}  // namespace quillmere
