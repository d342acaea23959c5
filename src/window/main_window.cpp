#include "window/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QUrl>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/bridge_app.h"
#include "ui/window_texts.h"
#include "window/qt_text.h"
#include "window/render_item_delegate.h"

namespace quillmere {

namespace {

// The first menu of the bar is the application's own, named after it as a desktop shows it.
constexpr std::string_view kApplicationMenu = "Quillmere Bridge";

// A push button that shows plainly when it has the keyboard: a ring in the highlight colour inside
// its edge, drawn over whatever the style draws, so that the button's size never changes with it.
class FocusRingButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPushButton::paintEvent(event);
    if (!hasFocus()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 3.0, 3.0);
  }
};

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

// Runs a hook of the window; nothing may leave an event handler into Qt.
void call(const std::function<void()>& hook) {
  try {
    if (hook) hook();
  } catch (...) {
  }
}

// The height the message line needs for the longest of the texts it shows, so that it never
// changes height, and with it the window, while the user works.
int messageHeight(const QLabel& message) {
  QLabel probe;
  probe.setFont(message.font());
  probe.setWordWrap(true);
  probe.setTextFormat(Qt::PlainText);
  probe.setContentsMargins(message.contentsMargins());
  int height = 0;
  for (const std::string& text :
       {std::string(texts::kInitialMessage), std::string(texts::kBusyMessage),
        std::string(texts::kSaveFailedMessage), std::string(texts::kCancelling),
        texts::savedMessage(BridgeApp::kListLimit),
        texts::pairedByNameMessage(BridgeApp::kListLimit, BridgeApp::kListLimit),
        // with the selected row's reason below it, two originals of common names named
        texts::pairedByNameMessage(BridgeApp::kListLimit, BridgeApp::kListLimit) + "\nDSC_0000.jpg：" +
            texts::joined({texts::kSeveralNameMatchesBefore, "DSC_0000.CR3、DSC_0000.NEF",
                           texts::kSeveralNameMatchesAfter})}) {
    probe.setText(qText(text));
    height = std::max(height, probe.heightForWidth(layout::kContentWidth));
  }
  return height;
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

  QMenu* menu = menuBar()->addMenu(qText(kApplicationMenu));
  menuBar()->setAccessibleName(qText(texts::kMenuBarName));
  menuBar()->setAccessibleDescription(qText(texts::kMenuBarDescription));
  // Finding what still needs work is one key, wherever the focus is in the window.
  m_nextAction = menu->addAction(qText(texts::kNextNeedingWork));
  m_nextAction->setObjectName(QStringLiteral("nextAction"));
  m_nextAction->setShortcut(QKeySequence(Qt::Key_F8));
  m_nextAction->setShortcutContext(Qt::WindowShortcut);
  connect(m_nextAction, &QAction::triggered, this, [this] { call(nextRequested); });
  m_quitAction = menu->addAction(qText(texts::kQuitItem));
  m_quitAction->setObjectName(QStringLiteral("quitAction"));
  m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  m_quitAction->setMenuRole(QAction::QuitRole);
  // Quitting is closing the one window, so a running save is handled in one place.
  connect(m_quitAction, &QAction::triggered, this, &QWidget::close);
  // F10 opens the menu, as on other desktops; the action lives on the window, not in the menu.
  m_menuAction = new QAction(this);
  m_menuAction->setObjectName(QStringLiteral("menuAction"));
  m_menuAction->setShortcut(QKeySequence(Qt::Key_F10));
  m_menuAction->setShortcutContext(Qt::WindowShortcut);
  addAction(m_menuAction);
  connect(m_menuAction, &QAction::triggered, this, [this, menu] {
    menuBar()->setActiveAction(menu->menuAction());
    if (!menu->actions().isEmpty()) menu->setActiveAction(menu->actions().front());
  });

  auto* root = new QWidget;
  root->setObjectName(QStringLiteral("rootStack"));
  auto* stack = new QVBoxLayout(root);
  stack->setSpacing(layout::kSpacing);
  stack->setContentsMargins(layout::kInsets, layout::kInsets, layout::kInsets, layout::kInsets);

  m_headline = new QLabel(qText(texts::kHeadline));
  m_headline->setObjectName(QStringLiteral("headline"));
  m_headline->setAccessibleDescription(qText(texts::kHeadlineDescription));
  QFont headlineFont = m_headline->font();
  headlineFont.setPixelSize(layout::kHeadlinePixelSize);
  headlineFont.setWeight(QFont::Bold);
  m_headline->setFont(headlineFont);
  stack->addWidget(m_headline, 0, Qt::AlignLeft);

  m_message = new QLabel(qText(texts::kInitialMessage));
  m_message->setObjectName(QStringLiteral("message"));
  // The name is the message itself, as a label's is; the description says what the line is for.
  m_message->setAccessibleDescription(qText(texts::kMessageName) + QStringLiteral("：") +
                                      qText(texts::kMessageDescription));
  m_message->setTextFormat(Qt::PlainText);
  m_message->setWordWrap(true);
  m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_message->setMinimumWidth(layout::kContentWidth);
  m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // As high as its longest text needs at the narrowest; a wider window only leaves it room.
  m_message->setFixedHeight(messageHeight(*m_message));
  stack->addWidget(m_message);

  m_table = new QTableView;
  m_table->setObjectName(QStringLiteral("table"));
  m_table->setAccessibleName(qText(texts::kTableName));
  m_table->setAccessibleDescription(qText(texts::kTableDescription));
  // Cells drawn in true colours, with a calm slot for the picture and a frame on the focused row.
  m_table->setItemDelegate(new RenderItemDelegate(m_table));
  // The Part's size is the least; a larger window gives the table all its new room.
  m_table->setMinimumSize(layout::kContentWidth, layout::kTableHeight);
  m_table->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Shift and Ctrl select several rows, to remove them at once.
  m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Tab leaves the table for the buttons instead of walking its cells.
  m_table->setTabKeyNavigation(false);
  m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_table->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_table->setShowGrid(false);
  m_table->setWordWrap(false);
  // Long file names keep their start and their extension.
  m_table->setTextElideMode(Qt::ElideMiddle);
  m_table->setIconSize(QSize(layout::kPictureWidth, layout::kPictureHeight));
  m_table->verticalHeader()->hide();
  m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_table->verticalHeader()->setMinimumSectionSize(layout::kRowHeight);
  m_table->verticalHeader()->setDefaultSectionSize(layout::kRowHeight);
  // The two columns share the table's width, so neither the header nor the selection stops short.
  m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  m_table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_table->horizontalHeader()->setHighlightSections(false);
  m_table->installEventFilter(this);
  m_table->viewport()->installEventFilter(this);
  m_table->setMouseTracking(true);
  // The larger look comes once the pointer has rested on a row for a second.
  m_hoverTimer = new QTimer(this);
  m_hoverTimer->setSingleShot(true);
  m_hoverTimer->setInterval(layout::kHoverRestMs);
  connect(m_hoverTimer, &QTimer::timeout, this, [this] {
    const QModelIndex index = m_table->indexAt(m_hoverAt);
    // A pointer that has left the table stopped the timer on its way out.
    if (!index.isValid() || !isActiveWindow()) return;
    m_hoverRow = index.row();
    // The path's tooltip goes; a failure's or a waiting row's reason stays, since the look does
    // not say it.
    if (!index.data(RenderItemDelegate::kFaultRole).toBool() &&
        !index.sibling(index.row(), 1).data(RenderItemDelegate::kReasonRole).isValid()) {
      QToolTip::hideText();
    }
    try {
      if (rowHovered) rowHovered(index.row());
    } catch (...) {
    }
  });
  // A scroll (the wheel, above all) moves the rows under a pointer that stays: the look at a row
  // that has left the pointer goes, and the row now there gets its own after a rest.
  connect(m_table->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    // Only while the pointer rests on the list: a look shown, or one on its way.
    if (m_hoverRow < 0 && !m_hoverTimer->isActive()) return;
    const int row = m_table->indexAt(m_hoverAt).row();
    if (row == m_hoverRow) return;
    m_hoverRow = -1;
    call(previewDismissed);
    m_hoverTimer->start();
  });
  m_compareAction = new QAction(qText(texts::kCompareAction), m_table);
  m_compareAction->setObjectName(QStringLiteral("compareAction"));
  m_table->addAction(m_compareAction);
  connect(m_compareAction, &QAction::triggered, this, [this] {
    try {
      if (comparisonRequested && m_table->currentIndex().isValid()) {
        comparisonRequested(m_table->currentIndex().row());
      }
    } catch (...) {
    }
  });
  m_removeAction = new QAction(qText(texts::kRemoveAction), m_table);
  m_removeAction->setObjectName(QStringLiteral("removeAction"));
  m_table->addAction(m_removeAction);
  m_undoAction = new QAction(qText(texts::kUndo), m_table);
  m_undoAction->setObjectName(QStringLiteral("undoAction"));
  m_undoAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
  m_undoAction->setShortcutContext(Qt::WindowShortcut);
  m_undoAction->setEnabled(false);
  m_table->addAction(m_undoAction);
  m_table->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(m_removeAction, &QAction::triggered, this, [this] { call(removeRequested); });
  connect(m_undoAction, &QAction::triggered, this, [this] { call(undoRequested); });
  stack->addWidget(m_table, 1);

  auto* buttonRow = new QWidget;
  buttonRow->setObjectName(QStringLiteral("buttonRow"));
  buttonRow->setMinimumWidth(layout::kContentWidth);
  auto* buttons = new QHBoxLayout(buttonRow);
  buttons->setSpacing(layout::kButtonSpacing);
  buttons->setContentsMargins(0, 0, 0, 0);
  m_addButton = new FocusRingButton(qText(texts::kAddButton));
  m_addButton->setObjectName(QStringLiteral("addButton"));
  m_addButton->setAccessibleName(qText(texts::kAddButton));
  m_addButton->setAccessibleDescription(qText(texts::kAddDescription));
  m_chooseButton = new FocusRingButton(qText(texts::kChooseButton));
  m_chooseButton->setObjectName(QStringLiteral("chooseButton"));
  m_chooseButton->setAccessibleName(qText(texts::kChooseButton));
  m_chooseButton->setAccessibleDescription(qText(texts::kChooseDescription));
  m_saveButton = new FocusRingButton(qText(texts::kSaveButton));
  m_saveButton->setObjectName(QStringLiteral("saveButton"));
  m_saveButton->setAccessibleName(qText(texts::kSaveButton));
  m_saveButton->setAccessibleDescription(qText(texts::kSaveDescription));
  m_saveButton->setEnabled(false);
  for (QPushButton* button : {m_addButton, m_chooseButton, m_saveButton}) {
    // No default button: no key saves, only pressing the focused save button does.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    button->installEventFilter(this);
    buttons->addWidget(button);
  }
  // The progress bar has its place at the end of the button row, kept while it is hidden, so that
  // showing it moves nothing.
  buttons->addStretch(1);
  m_progress = new QProgressBar;
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setAccessibleName(qText(texts::kProgressName));
  m_progress->setAccessibleDescription(qText(texts::kProgressDescription));
  m_progress->setFixedWidth(layout::kProgressWidth);
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 0);
  QSizePolicy keepPlace = m_progress->sizePolicy();
  keepPlace.setRetainSizeWhenHidden(true);
  m_progress->setSizePolicy(keepPlace);
  m_progress->hide();
  buttons->addWidget(m_progress, 0, Qt::AlignVCenter);
  stack->addWidget(buttonRow);

  setTabOrder(m_table, m_addButton);
  setTabOrder(m_addButton, m_chooseButton);
  setTabOrder(m_chooseButton, m_saveButton);

  setCentralWidget(root);
  // At least 800 wide and as high as the content needs, which is also the size it opens at.
  QMainWindow::layout()->setSizeConstraint(QLayout::SetMinimumSize);
  setAcceptDrops(true);
}

void MainWindow::openRowMenu() {
  const QModelIndex current = m_table->currentIndex();
  const QRect row = current.isValid() ? m_table->visualRect(current) : QRect();
  // Just below the start of the focused row's name, as a pointer's menu would open there.
  const QPoint at = row.isValid() ? QPoint(row.left() + 2 * layout::kPictureWidth, row.bottom())
                                  : QPoint(layout::kPictureWidth, 0);
  QMenu::exec(m_table->actions(), m_table->viewport()->mapToGlobal(at), nullptr, m_table);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_table->viewport()) {
    switch (event->type()) {
      case QEvent::MouseMove: {
        // Resting is what counts: each move starts the second again, and moving to another row
        // puts the look at the last one away.
        m_hoverAt = static_cast<const QMouseEvent*>(event)->position().toPoint();
        const int row = m_table->indexAt(m_hoverAt).row();
        if (row != m_hoverRow) {
          m_hoverRow = -1;
          call(previewDismissed);
        }
        m_hoverTimer->start();
        break;
      }
      case QEvent::MouseButtonPress:
        // A click is the user at work on the list: the look goes, and comes again after a rest.
        m_hoverRow = -1;
        call(previewDismissed);
        m_hoverTimer->start();
        break;
      case QEvent::Leave:
        m_hoverTimer->stop();
        m_hoverRow = -1;
        call(previewDismissed);
        break;
      case QEvent::ToolTip: {
        // The larger look already says what the path's tooltip would, and larger; a failed
        // save's reason, or why pairing by name left the row, it does not say.
        const QPoint at = static_cast<const QHelpEvent*>(event)->pos();
        const QModelIndex index = m_table->indexAt(at);
        if (m_hoverPreview != nullptr && m_hoverPreview->isVisible() &&
            !index.data(RenderItemDelegate::kFaultRole).toBool() &&
            !index.sibling(index.row(), 1).data(RenderItemDelegate::kReasonRole).isValid()) {
          return true;
        }
        break;
      }
      case QEvent::MouseButtonDblClick: {
        // A double click on a picture compares the pair; anywhere else in the row it pairs.
        const QPoint at = static_cast<const QMouseEvent*>(event)->position().toPoint();
        const QModelIndex index = m_table->indexAt(at);
        if (index.isValid() &&
            RenderItemDelegate::pictureSlot(m_table->visualRect(index)).contains(at)) {
          try {
            if (comparisonRequested) comparisonRequested(index.row());
          } catch (...) {
          }
          return true;
        }
        break;
      }
      default:
        break;
    }
  }
  if (watched == m_table) {
    switch (event->type()) {
      case QEvent::FocusOut:
        call(previewDismissed);
        [[fallthrough]];
      case QEvent::FocusIn:
        // The focused row's frame spans its cells: they are drawn again, all of them.
        m_table->viewport()->update();
        break;
      case QEvent::ContextMenu:
        // The Menu key: the menu opens at the focused row, not wherever the pointer happens to be.
        if (static_cast<const QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
          openRowMenu();
          return true;
        }
        break;
      default:
        break;
    }
  }
  if (event->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, event);
  const auto& key = static_cast<const QKeyEvent&>(*event);
  if (watched == m_table) {
    m_hoverTimer->stop();
    call(previewDismissed);
    if (isSpace(key)) {
      try {
        if (comparisonRequested && m_table->currentIndex().isValid()) {
          comparisonRequested(m_table->currentIndex().row());
        }
      } catch (...) {
      }
      return true;
    }
    if (isShiftF10(key)) {
      openRowMenu();
      return true;
    }
    if (isEnter(key)) {
      call(rowActivated);
      return true;
    }
    if (isRemove(key)) {
      call(removeRequested);
      return true;
    }
  } else if (auto* button = qobject_cast<QPushButton*>(watched);
             button != nullptr && isEnter(key)) {
    // Space presses a focused button in every style; Enter does too, as users expect.
    if (button->isEnabled()) button->click();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
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
  call(previewDismissed);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  bool allowed = true;
  try {
    allowed = !mayClose || mayClose();
  } catch (...) {
    // Nothing may leave an event handler; a window that cannot tell whether to stay closes.
  }
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
  try {
    if (filesDropped) filesDropped(std::move(paths));
  } catch (...) {
    // Nothing may leave an event handler; the drop is then simply not taken.
  }
}

}  // namespace quillmere
