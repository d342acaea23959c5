#pragma once

#include <QMainWindow>
#include <QPoint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;

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
// The Part's 23-point system font is 23 pixels at a scale of 1 (a desktop's point, not a printer's).
inline constexpr int kHeadlinePixelSize = 23;
// How long the pointer rests on a row before the larger look at its pair comes.
inline constexpr int kHoverRestMs = 1000;
}  // namespace layout

// The one window: headline, message line, the table of renders and the row of buttons, with the
// progress bar at the end of that row (hidden while idle) and a menu bar holding the quit item.
// Its least size is the one it opens at; made larger, the table takes the new room, its two columns
// sharing the width. Nothing in it moves or changes size otherwise: the message line is as high as
// its longest text needs and the progress bar keeps its place when hidden. Shift and Ctrl select
// several rows. Tab goes from the
// table to the three buttons and back; Enter on a row or a button acts like a click on it; Space on
// a row or a double click on a picture asks for the comparison view, the pointer resting on a row
// for a second for the larger look at its pair; F10 opens the menu, Shift+F10 and the Menu key the
// row's context menu, Ctrl+Z undoes a removal or pairing. Every control has an accessible name and
// description in Chinese. It knows nothing of the rules behind its controls; whoever builds it
// wires the buttons and the hooks.
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
  // The table's context-menu items: remove the selected render, undo the last removal or
  // pairing (Ctrl+Z, anywhere in the window), compare the selected row's pair.
  QAction* removeAction() const { return m_removeAction; }
  QAction* undoAction() const { return m_undoAction; }
  QAction* compareAction() const { return m_compareAction; }
  // F10: opens the menu bar's menu.
  QAction* menuAction() const { return m_menuAction; }
  // F8, in the menu too: the next row that still needs work.
  QAction* nextAction() const { return m_nextAction; }
  // The larger look beside the table: while it shows, the table's own tooltips are held back.
  void setHoverPreview(QWidget* preview) { m_hoverPreview = preview; }
  // Opens the table's context menu at the focused row, as Shift+F10 and the Menu key do.
  void openRowMenu();

  // Asked when the window is about to close; answering false keeps it open.
  std::function<bool()> mayClose;
  // Local files dropped onto the window, as file-system paths, in the order of the drop.
  std::function<void(std::vector<std::string>)> filesDropped;
  // Enter or Return on the table's selected row.
  std::function<void()> rowActivated;
  // Delete or Backspace on the table, or the remove item of its context menu.
  std::function<void()> removeRequested;
  // Space on the table, a double click on a picture, or the context menu's item: the comparison
  // view of this row's pair.
  std::function<void(int row)> comparisonRequested;
  // Ctrl+Z or the context menu's item.
  std::function<void()> undoRequested;
  // F8 or its menu item.
  std::function<void()> nextRequested;
  // The pointer has rested on a row for a second: the larger look at its pair. It goes when the
  // pointer moves to another row or leaves the table, a scroll moves another row under it, a
  // click or a key lands on the table, or the window moves, changes size or loses the activation.
  std::function<void(int row)> rowHovered;
  std::function<void()> previewDismissed;
  // A hook above threw: what it threw, for whoever wires the window to report as it reports its
  // own failures. Without it the failure's text takes the message line.
  std::function<void(std::exception_ptr)> failed;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // The builders of the window's parts, each making its controls and wiring them to the hooks.
  QMenu* buildMenu();
  void buildMenuKey(QMenu* menu);
  QLabel* buildHeadline();
  QLabel* buildMessageLine();
  QTableView* buildList();
  void buildListActions();
  void buildLook();
  QWidget* buildButtons();
  QProgressBar* buildProgress();

  // The one way a hook runs: nothing may leave an event handler into Qt, so whatever a hook
  // throws is handed to `failed` instead.
  void dispatch(const std::function<void()>& hook) noexcept;
  void reportFailure(std::exception_ptr error) noexcept;
  // The comparison view of the focused row, if there is one.
  void compareCurrent();

  // The event filter's parts: the list's area (pointer, tooltips), the list itself (focus, the
  // Menu key) and the keys on the list and the buttons. Each answers whether it took the event.
  bool listAreaEvent(QEvent* event);
  bool listEvent(QEvent* event);
  bool keyEvent(QObject* watched, const QKeyEvent& key);
  // The pointer has come to rest somewhere else, or the list is being worked on: the look at the
  // row it was on goes, and a rest brings the next one.
  void restartRest();

  // Puts the larger look away and forgets the rest that would bring it.
  void dismissPreview();

  QLabel* m_headline;
  QLabel* m_message;
  QProgressBar* m_progress;
  QTableView* m_table;
  QPushButton* m_addButton;
  QPushButton* m_chooseButton;
  QPushButton* m_saveButton;
  QAction* m_quitAction;
  QAction* m_removeAction;
  QAction* m_undoAction;
  QAction* m_compareAction;
  QAction* m_menuAction;
  QAction* m_nextAction;
  QWidget* m_hoverPreview = nullptr;
  QTimer* m_hoverTimer;
  QPoint m_hoverAt;
  int m_hoverRow = -1;
};

}  // namespace quillmere
