// One window per person: a later launch hands its files to the open window.

#include <QFileDialog>
#include <QLabel>
#include <QLocalSocket>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "picture_worker/picture_channel.h"
#include "qt_fixture.h"
#include "support/child_process.h"
#include "window/comparison_view.h"
#include "window/single_window.h"
#include "window/thumbnail_cache.h"
#include "worker_faults.h"

namespace quillmere::qt_testing {
namespace {

using namespace std::chrono_literals;

// The program started in `folder` with these arguments and exactly this environment, its output
// and errors added to `log`.
testing::ChildProcess launch(const std::string& folder, const Strings& arguments,
                             const Strings& environment, const std::string& log) {
  testing::Launch bridge;
  bridge.program = QUILLMERE_BRIDGE_PATH;
  bridge.arguments = arguments;
  bridge.environment = environment;
  bridge.folder = folder;
  bridge.log = log;
  bridge.withOutput = true;
  bridge.appendToLog = true;
  return testing::launch(bridge);
}

// The exit status of `child` once it has ended, events processed meanwhile (a window in this
// process answers it); nothing when it did not end within the time allowed for an event.
std::optional<int> endedWith(testing::ChildProcess& child) {
  std::optional<int> status;
  if (!waitUntil([&] { return (status = child.poll()).has_value(); })) return std::nullopt;
  return status;
}

// A socket file as a window that crashed leaves it: bound, then its process gone.
void leaveStaleSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  ::close(fd);
  ASSERT_TRUE(std::filesystem::is_socket(path));
}

class SingleWindowTest : public WindowTest {
 protected:
  SingleWindowTest() {
    std::filesystem::permissions(m_runtime.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
  }
  Strings environment() const {
    return {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + m_runtime.path(),
            "XDG_CONFIG_HOME=" + m_runtime.path()};
  }
  std::string socketPath() const { return m_runtime / "quillmere-bridge.window"; }

  TempDir m_runtime;
};

// A second launch with a file, named relative to the folder it is started in as a terminal would,
// hands it to the open window and ends with 0; the window lists it as a file opened with it, and
// refuses what it refuses then. A launch without files only brings the window forward.
TEST_F(SingleWindowTest, ALaterLaunchHandsItsFilesToTheOpenWindowAndEnds) {
  render("a.png");
  render("b.png", 1);
  writeFile(m_dir / "notes.txt", "not a photo");
  start({m_dir / "a.png"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  SingleWindow single(QString::fromStdString(socketPath()));
  ASSERT_FALSE(single.handToOpenWindow({}));
  ASSERT_TRUE(single.listening());
  single.filesArrived = [this](Strings files) { m_session->openFromOutside(std::move(files)); };

  // Handed over while the window's own panel is open: the files wait until it has closed, so that
  // nothing changes the list under a question the window is asking.
  ModalAnswerer answerer;
  testing::ChildProcess second;
  answerer.fileAnswers.push_back([&](QFileDialog& panel) {
    second = launch(m_dir.path(), {"b.png", "notes.txt"}, environment(), m_runtime / "log");
    ASSERT_TRUE(second);
    EXPECT_EQ(endedWith(second), 0);
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    EXPECT_EQ(model().rowCount(), 1) << "added while the panel was open";
    panel.reject();
  });
  window().addButton()->click();
  ASSERT_TRUE(answerer.fileAnswers.empty());
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  EXPECT_EQ(cell(1, 0), "b.png");
  EXPECT_EQ(m_session->app().renders().at(1), m_dir / "b.png") << "handed over as an absolute path";
  ASSERT_TRUE(waitUntil([&] { return answerer.alerts.size() == 1; }))
      << "the text file is refused as one opened with the window is";
  EXPECT_NE(answerer.alerts.front().find("notes.txt"), std::string::npos) << answerer.alerts.front();

  testing::ChildProcess third = launch(m_dir.path(), {}, environment(), m_runtime / "log");
  EXPECT_EQ(endedWith(third), 0);
  EXPECT_EQ(model().rowCount(), 2);
  EXPECT_TRUE(window().isVisible());
}

// Two real windows in turn: the first, started where a crashed window left its socket, still
// becomes the window that later launches reach; they hand it their files and end with 0, and it
// goes on until it is ended. A socket of the window's name that nobody listens on cannot keep a
// window from opening.
TEST_F(SingleWindowTest, AStaleSocketDoesNotStopANewWindowThatLaterLaunchesThenReach) {
  render("a.png");
  render("b.png", 1);
  leaveStaleSocket(socketPath());

  testing::ChildProcess first = launch(m_dir.path(), {"a.png"}, environment(), m_runtime / "log");
  ASSERT_TRUE(first);
  // Listening once a connection to its socket is taken.
  ASSERT_TRUE(waitUntil([&] {
    QLocalSocket probe;
    probe.connectToServer(QString::fromStdString(socketPath()));
    const bool reached = probe.waitForConnected(100);
    probe.abort();
    return reached || first.poll().has_value();
  }));
  ASSERT_FALSE(first.poll().has_value()) << "the first window ended";

  testing::ChildProcess second = launch(m_dir.path(), {"b.png"}, environment(), m_runtime / "log");
  EXPECT_EQ(endedWith(second), 0) << "the second launch opened a window of its own";
  EXPECT_FALSE(first.poll().has_value());

  ASSERT_EQ(::kill(first.pid(), SIGTERM), 0);
  EXPECT_EQ(first.wait(20s), 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath())) << "the window took its socket with it";
}

}  // namespace
}  // namespace quillmere::qt_testing
