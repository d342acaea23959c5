#include "window/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "records/records.h"
#include "window_logic/window_texts.h"
#include "window/qt_text.h"
#include "window/render_item_delegate.h"

namespace quillmere {

namespace {

bool isEnter(const QKeyEvent& key) {
  return (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) &&
         (key.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

bool isSpace(const QKeyEvent& key) {
  return key.key() == Qt::Key_Space && key.modifiers() == Qt::NoModifier;
}

bool isShiftF10(const QKeyEvent& key) {
  return key.key() == Qt::Key_F10 && key.modifiers() == Qt::ShiftModifier;
}

bool isRemove(const QKeyEvent& key) {
  return (key.key() == Qt::Key_Delete || key.key() == Qt::Key_Backspace) &&
         (key.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

std::vector<std::string> localFiles(const QMimeData* mime) {
  std::vector<std::string> paths;
  if (mime == nullptr || !mime->hasUrls()) return paths;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) paths.push_back(filePath(url.toLocalFile()));
  }
  return paths;
}

}  // namespace

MainWindow::MainWindow() {
  setObjectName(QStringLiteral("mainWindow"));
  // Titled, closable, miniaturizable and, for a long list, to be made larger.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(qText(texts::kWindowTitle));
  buildMenuKey(buildMenu());

  auto* root = new QWidget;
  root->setObjectName(QStringLiteral("rootStack"));
  auto* stack = new QVBoxLayout(root);
  stack->setSpacing(layout::kSpacing);
  stack->setContentsMargins(layout::kInsets, layout::kInsets, layout::kInsets, layout::kInsets);
  stack->addWidget(buildHeadline(), 0, Qt::AlignLeft);
  stack->addWidget(buildMessageLine());
  stack->addWidget(buildList(), 1);
  stack->addWidget(buildButtons());

  setTabOrder(m_table, m_addButton);
  setTabOrder(m_addButton, m_chooseButton);
  setTabOrder(m_chooseButton, m_saveButton);

  setCentralWidget(root);
  // At least 800 wide and as high as the content needs, which is also the size it opens at.
  QMainWindow::layout()->setSizeConstraint(QLayout::SetMinimumSize);
  setAcceptDrops(true);
}

void MainWindow::dispatch(const std::function<void()>& hook) noexcept {
  try {
    if (hook) hook();
  } catch (...) {
    reportFailure(std::current_exception());
  }
}

void MainWindow::reportFailure(std::exception_ptr error) noexcept {
  try {
    if (failed) {
      failed(error);
    } else {
      m_message->setText(qText(describe(error)));
    }
  } catch (...) {
    // Reporting failed as well (no memory left for its text): inside an event handler there is
    // nobody further to tell, and the window goes on as it was.
  }
}

void MainWindow::compareCurrent() {
  const QModelIndex current = m_table->currentIndex();
  if (!current.isValid()) return;
  dispatch([this, row = current.row()] {
    if (comparisonRequested) comparisonRequested(row);
  });
}

void MainWindow::openRowMenu() {
  const QModelIndex current = m_table->currentIndex();
  const QRect row = current.isValid() ? m_table->visualRect(current) : QRect();
  // Just below the start of the focused row's name, as a pointer's menu would open there.
  const QPoint at = row.isValid() ? QPoint(row.left() + 2 * layout::kPictureWidth, row.bottom())
                                  : QPoint(layout::kPictureWidth, 0);
  QMenu::exec(m_table->actions(), m_table->viewport()->mapToGlobal(at), nullptr, m_table);
}

// The one dispatcher of the events the window watches on its controls.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_table->viewport() && listAreaEvent(event)) return true;
  if (watched == m_table && listEvent(event)) return true;
  if (event->type() == QEvent::KeyPress && keyEvent(watched, static_cast<const QKeyEvent&>(*event))) {
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::restartRest() {
  m_hoverRow = -1;
  dispatch(previewDismissed);
  m_hoverTimer->start();
}

bool MainWindow::listAreaEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseMove: {
      // Resting is what counts: each move starts the second again, and moving to another row
      // puts the look at the last one away.
      m_hoverAt = static_cast<const QMouseEvent*>(event)->position().toPoint();
      if (m_table->indexAt(m_hoverAt).row() != m_hoverRow) {
        restartRest();
      } else {
        m_hoverTimer->start();
      }
      return false;
    }
    case QEvent::MouseButtonPress:
      // A click is the user at work on the list: the look goes, and comes again after a rest.
      restartRest();
      return false;
    case QEvent::Leave:
      m_hoverTimer->stop();
      m_hoverRow = -1;
      dispatch(previewDismissed);
      return false;
    case QEvent::ToolTip: {
      // The larger look already says what the path's tooltip would, and larger; a failed
      // save's reason, or why pairing by name left the row, it does not say.
      const QModelIndex index = m_table->indexAt(static_cast<const QHelpEvent*>(event)->pos());
      return m_hoverPreview != nullptr && m_hoverPreview->isVisible() &&
             !index.data(RenderItemDelegate::kFaultRole).toBool() &&
             !index.sibling(index.row(), 1).data(RenderItemDelegate::kReasonRole).isValid();
    }
    case QEvent::MouseButtonDblClick: {
      // A double click on a picture compares the pair; anywhere else in the row it pairs.
      const QPoint at = static_cast<const QMouseEvent*>(event)->position().toPoint();
      const QModelIndex index = m_table->indexAt(at);
      if (!index.isValid() ||
          !RenderItemDelegate::pictureSlot(m_table->visualRect(index)).contains(at)) {
        return false;
      }
      dispatch([this, row = index.row()] {
        if (comparisonRequested) comparisonRequested(row);
      });
      return true;
    }
    default:
      return false;
  }
}

bool MainWindow::listEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::FocusOut:
      dispatch(previewDismissed);
      [[fallthrough]];
    case QEvent::FocusIn:
      // The focused row's frame spans its cells: they are drawn again, all of them.
      m_table->viewport()->update();
      return false;
    case QEvent::ContextMenu:
      // The Menu key: the menu opens at the focused row, not wherever the pointer happens to be.
      if (static_cast<const QContextMenuEvent*>(event)->reason() != QContextMenuEvent::Keyboard) {
        return false;
      }
      openRowMenu();
      return true;
    default:
      return false;
  }
}

bool MainWindow::keyEvent(QObject* watched, const QKeyEvent& key) {
  if (watched == m_table) {
    m_hoverTimer->stop();
    dispatch(previewDismissed);
    if (isSpace(key)) {
      compareCurrent();
    } else if (isShiftF10(key)) {
      openRowMenu();
    } else if (isEnter(key)) {
      dispatch(rowActivated);
    } else if (isRemove(key)) {
      dispatch(removeRequested);
    } else {
      return false;
    }
    return true;
  }
  auto* button = qobject_cast<QPushButton*>(watched);
  if (button == nullptr || !isEnter(key)) return false;
  // Space presses a focused button in every style; Enter does too, as users expect.
  if (button->isEnabled()) button->click();
  return true;
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // The look is a window of its own: it must not stay over another application or a minimized
  // window.
  if (event->type() == QEvent::ActivationChange || event->type() == QEvent::WindowStateChange) {
    dismissPreview();
  }
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  dismissPreview();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  dismissPreview();
}

void MainWindow::dismissPreview() {
  m_hoverTimer->stop();
  if (m_hoverRow < 0 && (m_hoverPreview == nullptr || !m_hoverPreview->isVisible())) return;
  m_hoverRow = -1;
  dispatch(previewDismissed);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A window that cannot tell whether to stay closes; the failure is reported all the same.
  bool allowed = true;
  dispatch([&] { allowed = !mayClose || mayClose(); });
  if (allowed) {
    event->accept();
  } else {
    event->ignore();
  }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!localFiles(event->mimeData()).empty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths = localFiles(event->mimeData());
  if (paths.empty()) return;
  event->acceptProposedAction();
  dispatch([&] {
    if (filesDropped) filesDropped(std::move(paths));
  });
}

}  // namespace quillmere
