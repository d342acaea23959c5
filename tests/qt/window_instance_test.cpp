// One window per person, and pictures whose worker was lost to something other than their file.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFileDialog>
#include <QLabel>
#include <QLocalSocket>
#include <QPushButton>
#include <QPixmap>
#include <QTableView>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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

// Starts the program in `folder` with these arguments and exactly this environment (plus PATH,
// HOME and the sanitizers' options), its output and errors going to `log`.
testing::ChildProcess launch(const std::string& folder, const Strings& arguments,
                             const Strings& environment, const std::string& log) {
  Strings variables = environment;
  for (const char* name : {"PATH", "HOME", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) variables.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = QUILLMERE_BRIDGE_PATH;
  Strings argumentCopy = arguments;
  std::vector<char*> argv{program.data()};
  for (auto& argument : argumentCopy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // The working folder changes for the child alone: posix_spawn has no such action before glibc
  // 2.29's addchdir_np, which Debian 12 has.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(error, 0);
  return testing::ChildProcess(error == 0 ? pid : -1);
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

// The picture workers this process started that still run.
std::vector<pid_t> pictureWorkers() {
  std::vector<pid_t> workers;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    char state = 0;
    pid_t parent = -1;
    fields >> state >> parent;
    if (parent != ::getpid() || state == 'Z') continue;
    std::ifstream command(entry.path() / "cmdline");
    std::string line((std::istreambuf_iterator<char>(command)), std::istreambuf_iterator<char>());
    if (line.find(kPictureWorkerFlag) != std::string::npos) workers.push_back(std::stoi(name));
  }
  return workers;
}

// The worker that holds `path` open, or -1.
pid_t workerHolding(const std::filesystem::path& path) {
  for (const pid_t worker : pictureWorkers()) {
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(worker) + "/fd", error)) {
      if (std::filesystem::read_symlink(fd.path(), error) == path) return worker;
    }
  }
  return -1;
}

// A worker killed from outside while it makes a picture (by the user, or by the system short of
// memory) costs that worker only: the picture is made again on a fresh one. A file that ends the
// fresh one too gives no picture.
TEST(WindowPictures, APictureWhoseWorkerIsKilledFromOutsideIsMadeOnAFreshWorker) {
  TempDir dir;
  ThumbnailCache::Options options;
  options.onCanvas = false;
  // Only the test's kill ends the worker, never its time.
  options.timeLimit = std::chrono::hours(1);
  ThumbnailCache pictures(options);
  int lostBefore = pictures.workersLost();
  const std::filesystem::path path = dir / "photo.jpg";
  // The worker spins on the file, as on one large enough to take a while.
  writeFile(path, testing::faultFile("hang"));
  const QString file = QString::fromStdString(path);
  ASSERT_EQ(pictures.picture(file, QSize(64, 32)).first, ThumbnailCache::Lookup::pending);
  pid_t worker = -1;
  ASSERT_TRUE(waitUntil([&] { return (worker = workerHolding(path)) > 0; }));
  // The same file, now one the next worker decodes at once.
  {
    std::ofstream same(path, std::ios::binary | std::ios::trunc);
    same << testing::jpegImage(300, 150);
  }
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  ASSERT_TRUE(
      waitUntil([&] { return pictures.picture(file, QSize(64, 32)).first !=
                             ThumbnailCache::Lookup::pending; }));
  const auto [lookup, pixmap] = pictures.picture(file, QSize(64, 32));
  EXPECT_EQ(lookup, ThumbnailCache::Lookup::ready);
  EXPECT_EQ(pixmap.size(), QSize(64, 32));
  EXPECT_EQ(pictures.workersLost() - lostBefore, 1);

  // Killed again on its second worker: no picture, and two workers lost.
  const std::filesystem::path twice = dir / "twice.jpg";
  writeFile(twice, testing::faultFile("hang"));
  const QString twiceFile = QString::fromStdString(twice);
  lostBefore = pictures.workersLost();
  pictures.picture(twiceFile, QSize(64, 32));
  for (int round = 0; round < 2; ++round) {
    pid_t holding = -1;
    ASSERT_TRUE(waitUntil([&] { return (holding = workerHolding(twice)) > 0 && holding != worker; }));
    worker = holding;
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
  }
  ASSERT_TRUE(waitUntil([&] {
    return pictures.picture(twiceFile, QSize(64, 32)).first == ThumbnailCache::Lookup::none;
  }));
  EXPECT_EQ(pictures.workersLost() - lostBefore, 2);
}

// A render that ends its first worker and the fresh one too shows what the window shows for any
// picture that cannot be made: the list keeps its placeholder and the comparison view says so.
TEST_F(WindowTest, ARenderThatEndsTwoWorkersShowsThatItsPictureCannotBeMade) {
  writeFile(m_dir / "a.tif", testing::tiffImage(40, 30) + testing::faultFile("crash"));
  create({m_dir / "a.tif"});
  const int tableLost = m_session->pictures().workersLost();
  const int largeLost = m_session->largePictures().workersLost();
  show();
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  ASSERT_TRUE(waitUntil([&] {
    window().table()->viewport()->update();
    return m_session->pictures().workersLost() - tableLost == 2;
  }));
  m_session->comparison().open(0);
  ASSERT_TRUE(waitUntil([&] {
    return m_session->comparison().renderPicture()->text() == u8("无法显示这张照片");
  }));
  EXPECT_EQ(m_session->largePictures().workersLost() - largeLost, 2);
  EXPECT_TRUE(model().index(0, 0).data(Qt::DecorationRole).value<QPixmap>().isNull());
  m_session->comparison().hide();
  EXPECT_EQ(cell(0, 0), "a.tif");
}

}  // namespace
}  // namespace quillmere::qt_testing
