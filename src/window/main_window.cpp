#include "window/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include "window/qt_text.h"
#include "ui/window_texts.h"

namespace quillmere {

namespace {

// The first menu of the bar is the application's own, named after it as a desktop shows it.
constexpr std::string_view kApplicationMenu = "Quillmere Bridge";

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
  // Titled, closable, miniaturizable; no maximize button, since the window's size is fixed.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(qText(texts::kWindowTitle));

  QMenu* menu = menuBar()->addMenu(qText(kApplicationMenu));
  m_quitAction = menu->addAction(qText(texts::kQuitItem));
  m_quitAction->setObjectName(QStringLiteral("quitAction"));
  m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  m_quitAction->setMenuRole(QAction::QuitRole);
  // Quitting is closing the one window, so a running save is handled in one place.
  connect(m_quitAction, &QAction::triggered, this, &QWidget::close);

  auto* root = new QWidget;
  root->setObjectName(QStringLiteral("rootStack"));
  auto* stack = new QVBoxLayout(root);
  stack->setSpacing(layout::kSpacing);
  stack->setContentsMargins(layout::kInsets, layout::kInsets, layout::kInsets, layout::kInsets);

  m_headline = new QLabel(qText(texts::kHeadline));
  m_headline->setObjectName(QStringLiteral("headline"));
  QFont headlineFont = m_headline->font();
  headlineFont.setPointSizeF(layout::kHeadlinePointSize);
  headlineFont.setWeight(QFont::DemiBold);
  m_headline->setFont(headlineFont);
  stack->addWidget(m_headline, 0, Qt::AlignLeft);

  m_message = new QLabel(qText(texts::kInitialMessage));
  m_message->setObjectName(QStringLiteral("message"));
  m_message->setTextFormat(Qt::PlainText);
  m_message->setWordWrap(true);
  m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_message->setFixedWidth(layout::kContentWidth);
  stack->addWidget(m_message, 0, Qt::AlignLeft);

  m_progress = new QProgressBar;
  m_progress->setObjectName(QStringLiteral("progress"));
  m_progress->setFixedWidth(layout::kContentWidth);
  m_progress->setTextVisible(false);
  m_progress->setRange(0, 0);
  m_progress->hide();
  stack->addWidget(m_progress, 0, Qt::AlignLeft);

  m_table = new QTableView;
  m_table->setObjectName(QStringLiteral("table"));
  m_table->setFixedSize(layout::kContentWidth, layout::kTableHeight);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->setSelectionMode(QAbstractItemView::SingleSelection);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_table->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  m_table->setShowGrid(false);
  m_table->setWordWrap(false);
  // Long file names keep their start and their extension.
  m_table->setTextElideMode(Qt::ElideMiddle);
  m_table->verticalHeader()->hide();
  m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_table->verticalHeader()->setMinimumSectionSize(layout::kRowHeight);
  m_table->verticalHeader()->setDefaultSectionSize(layout::kRowHeight);
  m_table->horizontalHeader()->setStretchLastSection(false);
  m_table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_table->horizontalHeader()->setHighlightSections(false);
  stack->addWidget(m_table, 0, Qt::AlignLeft);

  auto* buttonRow = new QWidget;
  buttonRow->setObjectName(QStringLiteral("buttonRow"));
  auto* buttons = new QHBoxLayout(buttonRow);
  buttons->setSpacing(layout::kButtonSpacing);
  buttons->setContentsMargins(0, 0, 0, 0);
  m_addButton = new QPushButton(qText(texts::kAddButton));
  m_addButton->setObjectName(QStringLiteral("addButton"));
  m_chooseButton = new QPushButton(qText(texts::kChooseButton));
  m_chooseButton->setObjectName(QStringLiteral("chooseButton"));
  m_saveButton = new QPushButton(qText(texts::kSaveButton));
  m_saveButton->setObjectName(QStringLiteral("saveButton"));
  m_saveButton->setEnabled(false);
  for (QPushButton* button : {m_addButton, m_chooseButton, m_saveButton}) {
    button->setAutoDefault(false);
    buttons->addWidget(button);
  }
  stack->addWidget(buttonRow, 0, Qt::AlignLeft);

  setCentralWidget(root);
  // 800 wide, as high as the content needs, and not resizable by the user; the height follows
  // the message line and the progress bar as they change.
  QMainWindow::layout()->setSizeConstraint(QLayout::SetFixedSize);
  setAcceptDrops(true);
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
