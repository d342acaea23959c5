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
inline constexpr qreal kHeadlinePointSize = 23.0;
}  // namespace layout

// The one window: headline, message line, progress bar (hidden while idle), the table of renders
// and the row of buttons, with a menu bar holding the quit item. It knows nothing of the rules
// behind its controls; whoever builds it wires the buttons and answers the two hooks.
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

  // Asked when the window is about to close; answering false keeps it open.
  std::function<bool()> mayClose;
  // Local files dropped onto the window, as file-system paths, in the order of the drop.
  std::function<void(std::vector<std::string>)> filesDropped;

 protected:
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
};

}  // namespace quillmere
