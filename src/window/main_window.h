#pragma once

#include <QMainWindow>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;

namespace quillmere {

// The sizes of the window's layout, in device-independent pixels.
namespace layout {
inline constexpr int kWindowWidth = 800;
inline constexpr int kInsets = 24;
inline constexpr int kSpacing = 16;
inline constexpr int kButtonSpacing = 12;
inline constexpr int kContentWidth = kWindowWidth - 2 * kInsets;
inline constexpr int kTableHeight = 260;
inline constexpr int kRowHeight = 32;
// The small picture before a file's name, within the row.
inline constexpr int kPictureWidth = 42;
inline constexpr int kPictureHeight = 28;
inline constexpr int kProgressWidth = 200;
inline constexpr qreal kHeadlinePointSize = 23.0;
}  // namespace layout

// The one window: headline, message line, the table of renders and the row of buttons, with the
// progress bar at the end of that row (hidden while idle) and a menu bar holding the quit item.
// Nothing in it moves or changes size while the window is used: the message line is as high as
// its longest text needs and the progress bar keeps its place when hidden. Tab goes from the
// table to the three buttons and back; Enter on a row or a button acts like a click on it; Space on
// a row or the pointer over it asks for a larger look at its pair. It knows
// nothing of the rules behind its controls; whoever builds it wires the buttons and the hooks.
class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow();

  QLabel* headline() const { return m_headline; }
  QLabel* message() const { return m_message; }
  QProgressBar* progress() const { return m_progress; }
  QTableView* table() const { return m_table; }
  QPushButton* addButton() const { return m_addButton; }
  QPushButton* chooseButton() const { return m_chooseButton; }
  QPushButton* saveButton() const { return m_saveButton; }
  QAction* quitAction() const { return m_quitAction; }
  // The table's context-menu item that removes the selected render.
  QAction* removeAction() const { return m_removeAction; }

  // Asked when the window is about to close; answering false keeps it open.
  std::function<bool()> mayClose;
  // Local files dropped onto the window, as file-system paths, in the order of the drop.
  std::function<void(std::vector<std::string>)> filesDropped;
  // Enter or Return on the table's selected row.
  std::function<void()> rowActivated;
  // Delete or Backspace on the table, or the remove item of its context menu.
  std::function<void()> removeRequested;
  // Space on the table: the larger look at the selected row, shown or put away.
  std::function<void()> previewToggled;
  // The pointer is over a row of the table (it tracks the pointer), or has left the table, or a
  // key other than Space was pressed on it: the larger look shown for a row goes.
  std::function<void(int row)> rowHovered;
  std::function<void()> previewDismissed;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QLabel* m_headline;
  QLabel* m_message;
  QProgressBar* m_progress;
  QTableView* m_table;
  QPushButton* m_addButton;
  QPushButton* m_chooseButton;
  QPushButton* m_saveButton;
  QAction* m_quitAction;
  QAction* m_removeAction;
};

}  // namespace quillmere
