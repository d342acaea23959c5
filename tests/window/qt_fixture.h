#pragma once

// What the window's tests share: waiting on the event loop, answering modal dialogs, and fixtures
// with the real window on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"
#include "window/render_item_delegate.h"
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

// The tooltip showing now (Qt makes one anew for each tooltip), if any.
inline QWidget* shownTip() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && widget->inherits("QTipLabel")) return widget;
  }
  return nullptr;
}

// A window whose renders are each paired, one choice at a time, with an original of its own name.
class PairedWindowTest : public WindowTest {
 protected:
  // Lists these renders and pairs each with an original of its own name, by one choice of all.
  void startPaired(const Strings& renders, BatchRunner runner = {}) {
    start(renders, std::move(runner));
    ASSERT_TRUE(waitUntil([&] { return model().rowCount() == static_cast<int>(renders.size()); }));
    for (std::size_t row = 0; row < renders.size(); ++row) {
      const std::string original = m_dir / numbered("o", row, ".CR3");
      writeFile(original, "raw " + std::to_string(row));
      m_session->toolkit().selectRow(static_cast<int>(row));
      ModalAnswerer answerer;
      answerer.fileAnswers.push_back(ModalAnswerer::choose(original));
      window().chooseButton()->click();
      ASSERT_TRUE(answerer.fileAnswers.empty());
    }
    ASSERT_TRUE(window().saveButton()->isEnabled());
  }
  QTableView& table() { return *window().table(); }
  QRect slot(int row, int column) {
    return RenderItemDelegate::pictureSlot(table().visualRect(model().index(row, column)));
  }
  bool pictured(int row, int column) {
    return model().index(row, column).data(Qt::DecorationRole).isValid();
  }
};

// A window listing photos large enough that their pictures take a while.
class PhotoWindowTest : public WindowTest {
 protected:
  QTableView& table() { return *window().table(); }
  // Renders large enough that their pictures take a while, named DSC_<n>.jpg.
  Strings photos(int count) {
    Strings paths;
    for (int i = 0; i < count; ++i) {
      paths.push_back(m_dir / numbered("DSC_", i, ".jpg"));
      writeFile(paths.back(), testing::jpegImage(1200, 800, i));
    }
    return paths;
  }
  void startWith(const Strings& renders) {
    start(renders);
    ASSERT_TRUE(waitUntil([&] { return model().rowCount() == static_cast<int>(renders.size()); }));
  }
  ComparisonView& openComparison(int row) {
    activate(window(), table());
    m_session->toolkit().selectRow(row);
    QTest::keyClick(&table(), Qt::Key_Space);
    return m_session->comparison();
  }
};

// The window measured against its parts: the table and where a widget lies in the window.
class PairingWindowTest : public WindowTest {
 protected:
  QTableView& table() { return *window().table(); }
  // A widget's rectangle in the window.
  QRect inWindow(const QWidget& widget) {
    return QRect(widget.mapTo(&window(), QPoint(0, 0)), widget.size());
  }
};

}  // namespace quillmere::qt_testing
