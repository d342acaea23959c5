#pragma once

// What the window's tests share: waiting on the event loop, answering modal dialogs, and a fixture
// with the real window on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"
#include "window/window_session.h"

namespace quillmere::qt_testing {

using testing::TempDir;
using testing::writeFile;
using Strings = std::vector<std::string>;

inline QString u8(const char* text) { return QString::fromUtf8(text); }

// "o3.CR3" from ("o", 3, ".CR3"), built piece by piece (GCC 12 warns of a false overlap in
// `"o" + std::to_string(3) + ".CR3"`).
inline std::string numbered(std::string_view prefix, int number, std::string_view suffix) {
  std::string name(prefix);
  name.append(std::to_string(number));
  name.append(suffix);
  return name;
}

// Processes events until `done` holds; whether it holds. The minute allowed only ends a test whose
// event never comes: on a loaded machine an event may come late, and a test waits for it.
inline constexpr int kEventTimeoutMs = 60'000;
inline bool waitUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(kEventTimeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Runs the application's event loop after `start`; its exit code, or 99 when nothing ended it
// within the time allowed for an event.
inline int runEventLoop(const std::function<void()>& start) {
  QTimer::singleShot(0, start);
  QTimer safety;
  safety.setSingleShot(true);
  QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  safety.start(kEventTimeoutMs);
  return QApplication::exec();
}

// Answers modal dialogs as they open, in order: a file dialog with the next scripted answer, an
// alert by recording its text and dismissing it.
class ModalAnswerer {
 public:
  using FileAnswer = std::function<void(QFileDialog&)>;

  ModalAnswerer() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
    m_timer.start(10);
  }

  std::deque<FileAnswer> fileAnswers;
  Strings alerts;
  int alertsPlainText = 0;

  // Selects `path` in the dialog and confirms it.
  static FileAnswer choose(const std::string& path, std::function<void(QFileDialog&)> check = {}) {
    return [path, check](QFileDialog& dialog) {
      if (check) check(dialog);
      // Typed as a user would: selectFile leaves a focused file name field alone.
      auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(name, nullptr);
      name->setText(QString::fromStdString(path));
      static_cast<QDialog&>(dialog).accept();  // QFileDialog::accept, which checks the choice
    };
  }

 private:
  void answer() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      alerts.push_back(box->text().toStdString());
      if (box->textFormat() == Qt::PlainText) ++alertsPlainText;
      box->accept();
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
      if (fileAnswers.empty()) {
        ADD_FAILURE() << "unexpected file dialog " << dialog->windowTitle().toStdString();
        dialog->reject();
        return;
      }
      auto next = std::move(fileAnswers.front());
      fileAnswers.pop_front();
      next(*dialog);
    }
  }

  QTimer m_timer;
};

class WindowTest : public ::testing::Test {
 protected:
  std::string render(const std::string& name, int seed = 0) {
    writeFile(m_dir / name, testing::pngImage(4, 3, seed));
    return m_dir / name;
  }

  void start(Strings openedFiles = {}, BatchRunner runner = {}) {
    create(std::move(openedFiles), std::move(runner));
    show();
  }
  // The session before it is shown: nothing is listed and no picture asked for yet, so what a
  // test sets up now (a watch on the pictures) sees all that the window does once shown.
  void create(Strings openedFiles = {}, BatchRunner runner = {}) {
    m_session = std::make_unique<WindowSession>(std::move(openedFiles), std::move(runner));
  }
  void show() {
    m_session->show();
    QApplication::processEvents();
  }
  MainWindow& window() { return m_session->window(); }
  QAbstractItemModel& model() { return *window().table()->model(); }
  std::string cell(int row, int column) {
    return model().index(row, column).data().toString().toStdString();
  }

  TempDir m_dir;
  std::unique_ptr<WindowSession> m_session;
};

// Gives the window the keyboard, as a user's click on it would.
inline void activate(QWidget& window, QWidget& focus) {
  window.activateWindow();
  QApplication::setActiveWindow(&window);
  focus.setFocus(Qt::OtherFocusReason);
  QApplication::processEvents();
}

}  // namespace quillmere::qt_testing
