#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QLocalServer;

namespace quillmere {

// Where the one window of this user listens: "quillmere-bridge.window" in $XDG_RUNTIME_DIR, the
// folder the desktop gives each user for such sockets, readable by that user alone; where none is
// set, a name holding the user's id in the temporary folder, so that two users never meet there.
QString windowSocketPath();

// One window per person. The first launch listens on a local socket only its user may reach;
// a later launch hands its files to that window and ends, so that opening photos from the file
// manager while the window is open adds them to it instead of opening a second window.
class SingleWindow : public QObject {
  Q_OBJECT

 public:
  explicit SingleWindow(QString socketPath = windowSocketPath(), QObject* parent = nullptr);
  SingleWindow(const SingleWindow&) = delete;
  SingleWindow& operator=(const SingleWindow&) = delete;
  ~SingleWindow() override;

  // Hands `files` (made absolute against this process's working folder) to the window already
  // open and answers true once it has taken them: this process then ends. Otherwise this process
  // is to be the window, listens from now on, and answers false. A socket left by a window that
  // crashed is removed; one that belongs to another user is never connected to nor removed, and
  // the window then opens without listening.
  bool handToOpenWindow(const std::vector<std::string>& files);

  // Whether this process listens for later launches.
  bool listening() const;

  // Files a later launch handed over, absolute, in the order it was given them; none when it was
  // started without files and only wants the window brought to the front.
  std::function<void(std::vector<std::string>)> filesArrived;

 private:
  void accept();

  const QString m_path;
  QLocalServer* m_server = nullptr;
};

}  // namespace quillmere
