// The builders of the main window's parts: the menu, the headline and message line, the list with
// its actions and the larger look's rest, and the row of buttons with the progress bar.

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

#include "window_logic/bridge_app.h"
#include "window_logic/window_texts.h"
#include "window/main_window.h"
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

// A control as a screen reader knows it: by its name and what it is for.
template <typename Control>
Control* named(Control* control, const char* objectName, std::string_view name,
               std::string_view description) {
  control->setObjectName(QLatin1String(objectName));
  control->setAccessibleName(qText(name));
  control->setAccessibleDescription(qText(description));
  return control;
}

}  // namespace

QMenu* MainWindow::buildMenu() {
  QMenu* menu = menuBar()->addMenu(qText(kApplicationMenu));
  menuBar()->setAccessibleName(qText(texts::kMenuBarName));
  menuBar()->setAccessibleDescription(qText(texts::kMenuBarDescription));
  // Finding what still needs work is one key, wherever the focus is in the window.
  m_nextAction = menu->addAction(qText(texts::kNextNeedingWork));
  m_nextAction->setObjectName(QStringLiteral("nextAction"));
  m_nextAction->setShortcut(QKeySequence(Qt::Key_F8));
  m_nextAction->setShortcutContext(Qt::WindowShortcut);
  connect(m_nextAction, &QAction::triggered, this, [this] { dispatch(nextRequested); });
  m_quitAction = menu->addAction(qText(texts::kQuitItem));
  m_quitAction->setObjectName(QStringLiteral("quitAction"));
  m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  m_quitAction->setMenuRole(QAction::QuitRole);
  // Quitting is closing the one window, so a running save is handled in one place.
  connect(m_quitAction, &QAction::triggered, this, &QWidget::close);
  return menu;
}

// F10 opens the menu, as on other desktops; the action lives on the window, not in the menu.
void MainWindow::buildMenuKey(QMenu* menu) {
  m_menuAction = new QAction(this);
  m_menuAction->setObjectName(QStringLiteral("menuAction"));
  m_menuAction->setShortcut(QKeySequence(Qt::Key_F10));
  m_menuAction->setShortcutContext(Qt::WindowShortcut);
  addAction(m_menuAction);
  connect(m_menuAction, &QAction::triggered, this, [this, menu] {
    menuBar()->setActiveAction(menu->menuAction());
    if (!menu->actions().isEmpty()) menu->setActiveAction(menu->actions().front());
  });
}

QLabel* MainWindow::buildHeadline() {
  m_headline = new QLabel(qText(texts::kHeadline));
  m_headline->setObjectName(QStringLiteral("headline"));
  m_headline->setAccessibleDescription(qText(texts::kHeadlineDescription));
  QFont headlineFont = m_headline->font();
  headlineFont.setPixelSize(layout::kHeadlinePixelSize);
  headlineFont.setWeight(QFont::Bold);
  m_headline->setFont(headlineFont);
  return m_headline;
}

QLabel* MainWindow::buildMessageLine() {
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
  return m_message;
}

QTableView* MainWindow::buildList() {
  m_table = named(new QTableView, "table", texts::kTableName, texts::kTableDescription);
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
  buildLook();
  buildListActions();
  return m_table;
}

// The larger look comes once the pointer has rested on a row for a second.
void MainWindow::buildLook() {
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
    dispatch([this, row = index.row()] {
      if (rowHovered) rowHovered(row);
    });
  });
  // A scroll (the wheel, above all) moves the rows under a pointer that stays: the look at a row
  // that has left the pointer goes, and the row now there gets its own after a rest.
  connect(m_table->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    // Only while the pointer rests on the list: a look shown, or one on its way.
    if (m_hoverRow < 0 && !m_hoverTimer->isActive()) return;
    if (m_table->indexAt(m_hoverAt).row() == m_hoverRow) return;
    restartRest();
  });
}

void MainWindow::buildListActions() {
  m_compareAction = new QAction(qText(texts::kCompareAction), m_table);
  m_compareAction->setObjectName(QStringLiteral("compareAction"));
  m_table->addAction(m_compareAction);
  connect(m_compareAction, &QAction::triggered, this, [this] { compareCurrent(); });
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
  connect(m_removeAction, &QAction::triggered, this, [this] { dispatch(removeRequested); });
  connect(m_undoAction, &QAction::triggered, this, [this] { dispatch(undoRequested); });
}

QWidget* MainWindow::buildButtons() {
  auto* buttonRow = new QWidget;
  buttonRow->setObjectName(QStringLiteral("buttonRow"));
  buttonRow->setMinimumWidth(layout::kContentWidth);
  auto* buttons = new QHBoxLayout(buttonRow);
  buttons->setSpacing(layout::kButtonSpacing);
  buttons->setContentsMargins(0, 0, 0, 0);
  const auto button = [](std::string_view text, std::string_view description, const char* name) {
    return named(new FocusRingButton(qText(text)), name, text, description);
  };
  m_addButton = button(texts::kAddButton, texts::kAddDescription, "addButton");
  m_chooseButton = button(texts::kChooseButton, texts::kChooseDescription, "chooseButton");
  m_saveButton = button(texts::kSaveButton, texts::kSaveDescription, "saveButton");
  m_saveButton->setEnabled(false);
  for (QPushButton* each : {m_addButton, m_chooseButton, m_saveButton}) {
    // No default button: no key saves, only pressing the focused save button does.
    each->setAutoDefault(false);
    each->setDefault(false);
    each->setFocusPolicy(Qt::StrongFocus);
    each->installEventFilter(this);
    buttons->addWidget(each);
  }
  // The progress bar has its place at the end of the button row, kept while it is hidden, so that
  // showing it moves nothing.
  buttons->addStretch(1);
  buttons->addWidget(buildProgress(), 0, Qt::AlignVCenter);
  return buttonRow;
}

QProgressBar* MainWindow::buildProgress() {
  m_progress = named(new QProgressBar, "progress", texts::kProgressName, texts::kProgressDescription);
  m_progress->setFixedWidth(layout::kProgressWidth);
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 0);
  QSizePolicy keepPlace = m_progress->sizePolicy();
  keepPlace.setRetainSizeWhenHidden(true);
  m_progress->setSizePolicy(keepPlace);
  m_progress->hide();
  return m_progress;
}

}  // namespace quillmere
