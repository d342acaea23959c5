#include "window/single_window.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/unique_fd.h"

namespace quillmere {

namespace {

// What a later launch says before its files, so that nothing else that finds the socket is taken
// for one.
constexpr char kGreeting[] = "quillmere-bridge open 1";
// The window's answer once it has the files.
constexpr char kTaken = 'y';
// No launch hands over more than a command line can hold; anything larger is not one.
constexpr qint64 kLargestMessage = qint64{16} << 20;
// A window that is alive answers at once, or once it has started (the files of a launch that came
// while it was starting wait in its socket's queue); one that does not within this long is taken
// for hung.
constexpr int kAnswerLimitMs = 30'000;

bool isOwnSocket(const QString& path) {
  struct stat status {};
  if (::lstat(QFile::encodeName(path).constData(), &status) != 0) return false;
  return S_ISSOCK(status.st_mode) && status.st_uid == ::geteuid();
}

bool exists(const QString& path) {
  struct stat status {};
  return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

// Whether the process at the other end of a connected local socket runs as this user.
bool peerIsThisUser(const QLocalSocket& socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  const int fd = static_cast<int>(socket.socketDescriptor());
  return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == ::geteuid();
}

std::string absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path made = std::filesystem::absolute(path, error);
  return error ? path : made.string();
}

// The files of one message, or nothing while it is not complete. `broken` is set for bytes that
// are no such message.
std::optional<std::vector<std::string>> readMessage(QLocalSocket& socket, bool& broken) {
  QDataStream in(&socket);
  in.setVersion(QDataStream::Qt_6_0);
  in.startTransaction();
  QByteArray greeting;
  quint32 count = 0;
  in >> greeting >> count;
  std::vector<std::string> files;
  for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
    QByteArray file;
    in >> file;
    files.emplace_back(file.constData(), static_cast<std::size_t>(file.size()));
  }
  if (!in.commitTransaction()) {
    broken = in.status() == QDataStream::ReadCorruptData;
    return std::nullopt;
  }
  if (greeting != QByteArray(kGreeting)) {
    broken = true;
    return std::nullopt;
  }
  return files;
}

}  // namespace

QString windowSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') {
    return QFile::decodeName(runtime) + QStringLiteral("/quillmere-bridge.window");
  }
  return QDir::tempPath() + QStringLiteral("/quillmere-bridge-") +
         QString::number(::geteuid()) + QStringLiteral(".window");
}

SingleWindow::SingleWindow(QString socketPath, QObject* parent)
    : QObject(parent), m_path(std::move(socketPath)) {}

SingleWindow::~SingleWindow() = default;

bool SingleWindow::listening() const { return m_server != nullptr && m_server->isListening(); }

bool SingleWindow::handToOpenWindow(const std::vector<std::string>& files) {
  // Two launches at once (several files opened together, each in a launch of its own) must not
  // both find no window and both listen: whoever holds the lock asks and listens in one step.
  const QByteArray lockPath = QFile::encodeName(m_path + QStringLiteral(".lock"));
  const UniqueFd lock(
      ::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (lock) {
    while (::flock(lock.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }

  if (exists(m_path)) {
    // Someone else's socket in a shared folder is neither spoken to nor removed: the files would
    // go to another user.
    if (!isOwnSocket(m_path)) return false;
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (socket.waitForConnected(kAnswerLimitMs) && peerIsThisUser(socket)) {
      QByteArray message;
      QDataStream out(&message, QIODevice::WriteOnly);
      out.setVersion(QDataStream::Qt_6_0);
      out << QByteArray(kGreeting) << static_cast<quint32>(files.size());
      for (const std::string& file : files) out << QByteArray::fromStdString(absolute(file));
      socket.write(message);
      while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(kAnswerLimitMs)) {
      }
      char answer = 0;
      if (socket.waitForReadyRead(kAnswerLimitMs) && socket.getChar(&answer) && answer == kTaken) {
        return true;
      }
      // A window that is there but does not answer: this launch opens a window of its own rather
      // than none, without taking the socket from the other.
      return false;
    }
    if (socket.state() == QLocalSocket::ConnectedState) return false;
    // Nobody listens: a window that crashed left it.
    ::unlink(QFile::encodeName(m_path).constData());
  }

  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!m_server->listen(m_path)) {
    delete m_server;
    m_server = nullptr;
    return false;
  }
  connect(m_server, &QLocalServer::newConnection, this, &SingleWindow::accept);
  return false;
}

void SingleWindow::accept() {
  while (QLocalSocket* socket = m_server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!peerIsThisUser(*socket)) {
      socket->abort();
      continue;
    }
    const auto read = [this, socket = QPointer<QLocalSocket>(socket)] {
      if (!socket) return;
      bool broken = false;
      std::optional<std::vector<std::string>> files = readMessage(*socket, broken);
      if (!files) {
        if (broken || socket->bytesAvailable() > kLargestMessage) socket->abort();
        return;
      }
      socket->putChar(kTaken);
      socket->flush();
      socket->disconnectFromServer();
      // Adding may show alerts with event loops of their own: not inside this socket's signal.
      QMetaObject::invokeMethod(
          this,
          [this, files = std::move(*files)]() mutable {
            if (filesArrived) filesArrived(std::move(files));
          },
          Qt::QueuedConnection);
    };
    connect(socket, &QLocalSocket::readyRead, this, read);
    read();
  }
}

}  // namespace quillmere
