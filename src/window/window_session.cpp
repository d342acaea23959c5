#include "window/window_session.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QItemSelectionModel>
#include <QWindow>
#include <chrono>
#include <QTimer>
#include <QToolTip>
#include <exception>
#include <initializer_list>
#include <utility>

#include "platform/paths.h"
#include "window/render_item_delegate.h"
#include "window_logic/window_texts.h"
#include "window/batch_check_dialog.h"
#include "window/qt_text.h"

namespace quillmere {

namespace {

ThumbnailCache::Options withWorkers(ThumbnailCache::Options options,
                                    std::shared_ptr<PictureWorkers> workers) {
  options.workers = std::move(workers);
  return options;
}

// The table's small pictures, and the larger look's, come from the thumbnails files hold where
// those are large enough.
ThumbnailCache::Options tablePictureOptions() {
  ThumbnailCache::Options options;
  options.embeddedPictures = true;
  return options;
}

}  // namespace

WindowSession::WindowSession(std::vector<std::string> openedFiles, BatchRunner runner)
    : m_toolkit(m_window),
      m_app(m_toolkit, std::move(runner)),
      m_pictureWorkers(startPictureWorkers()),
      m_pictures(withWorkers(tablePictureOptions(), m_pictureWorkers)),
      m_largePictures(withWorkers(ComparisonView::pictureOptions(), m_pictureWorkers)),
      m_model(m_app, m_pictures),
      m_preview(new PairPreview(m_pictures, &m_window)),
      m_comparison(new ComparisonView(m_largePictures, &m_window)),
      m_openedFiles(std::move(openedFiles)) {
  m_toolkit.attach(m_model);
  addBatchCheckItem(m_window);
  m_window.table()->setModel(&m_model);
  m_window.setHoverPreview(m_preview);
  wireSelection();
  wireActions();
  wireLook();
  wireComparison();
  wireClosing();
}

void WindowSession::wireSelection() {
  // The focused row's frame follows the focused row; once the selection has rested a moment on a
  // row, the comparison view's pictures of it are made ahead, so Space shows them at once.
  m_selectionRest.setSingleShot(true);
  m_selectionRest.setInterval(kSelectionRestMs);
  QObject::connect(&m_selectionRest, &QTimer::timeout, &m_toolkit, [this] {
    const int row = m_toolkit.selectedRow();
    if (row >= 0 && m_window.isActiveWindow()) m_comparison->prefetch(row);
  });
  QObject::connect(m_window.table()->selectionModel(), &QItemSelectionModel::currentRowChanged,
                   m_window.table()->viewport(), [this] {
                     m_window.table()->viewport()->update();
                     m_selectionRest.start();
                     m_toolkit.updateMessageLine();
                   });
  m_toolkit.reloaded = [this] {
    m_window.undoAction()->setEnabled(m_app.canUndo());
    m_toolkit.updateMessageLine();
  };
  // A row pairing by name left waiting: while it is selected, the message line says why.
  m_toolkit.rowNote = [this] {
    const int row = m_toolkit.selectedRow();
    if (row < 0) return QString();
    const auto reason = m_app.rowUnpairedReason(static_cast<std::size_t>(row));
    if (!reason) return QString();
    return qText(texts::joined({fileName(m_app.renders()[static_cast<std::size_t>(row)]), "：", *reason}));
  };
}

void WindowSession::wireActions() {
  QObject::connect(m_window.addButton(), &QPushButton::clicked, &m_toolkit,
                   [this] { m_toolkit.guarded([this] { m_app.addRenders(); }); });
  QObject::connect(m_window.chooseButton(), &QPushButton::clicked, &m_toolkit,
                   [this] { m_toolkit.guarded([this] { m_app.chooseOriginal(); }); });
  QObject::connect(m_window.saveButton(), &QPushButton::clicked, &m_toolkit,
                   [this] { m_toolkit.guarded([this] { m_app.save(); }); });
  // A double click has selected its row by the time this arrives; pairing acts on the selection.
  QObject::connect(m_window.table(), &QTableView::doubleClicked, &m_toolkit,
                   [this] { m_toolkit.guarded([this] { m_app.chooseOriginal(); }); });
  m_window.rowActivated = [this] { m_toolkit.guarded([this] { m_app.chooseOriginal(); }); };
  m_window.removeRequested = [this] { m_toolkit.guarded([this] { m_app.removeSelected(); }); };
  m_window.undoRequested = [this] { m_toolkit.guarded([this] { m_app.undo(); }); };
  m_window.nextRequested = [this] { m_toolkit.guarded([this] { m_app.selectNextNeedingWork(); }); };
  // Adding may show alerts; they come after the drop has finished, not inside it.
  m_window.filesDropped = [this](std::vector<std::string> paths) {
    QMetaObject::invokeMethod(
        &m_toolkit,
        [this, paths = std::move(paths)] { m_toolkit.guarded([&] { m_app.openFiles(paths); }); },
        Qt::QueuedConnection);
  };
  // Whatever a hook of the window throws is reported as BridgeApp's own failures are: in an
  // alert, once the event that ran the hook has returned.
  m_window.failed = [this](std::exception_ptr error) {
    m_toolkit.runOnMainThread([error] { std::rethrow_exception(error); });
  };
}

void WindowSession::wireLook() {
  m_window.rowHovered = [this](int row) { showPreview(row); };
  m_window.previewDismissed = [this] {
    m_previewWait.stop();
    m_preview->hide();
  };
  m_previewWait.setSingleShot(true);
  m_previewWait.setInterval(200);
  QObject::connect(&m_previewWait, &QTimer::timeout, &m_toolkit,
                   [this] { showPreview(m_previewWaitRow); });
  // Rows may have gone: the look at one of them goes too.
  QObject::connect(&m_model, &QAbstractItemModel::modelReset, m_preview, &QWidget::hide);
}

void WindowSession::wireComparison() {
  m_window.comparisonRequested = [this](int row) { compare(row); };
  m_comparison->rowCount = [this] { return static_cast<int>(m_app.rowCount()); };
  m_comparison->pairAt = [this](int row) {
    const std::string& render = m_app.renders()[static_cast<std::size_t>(row)];
    const auto original = m_app.originals().find(render);
    return ComparisonView::Pair{
        qPath(render), original == m_app.originals().end() ? QString() : qPath(original->second),
        m_model.index(row, 1).data().toString()};
  };
  // The table follows, so that the row compared last is the one selected when the view closes.
  m_comparison->rowShown = [this](int row) { m_toolkit.selectRow(row); };
  // Acting in the view is acting on the row it shows, which the table's selection follows.
  m_comparison->pairRequested = [this](int) {
    m_toolkit.guarded([this] { m_app.chooseOriginal(); });
  };
  m_comparison->removeRequested = [this](int) {
    m_toolkit.guarded([this] { m_app.removeSelected(); });
  };
  m_comparison->undoRequested = [this] {
    m_toolkit.guarded([this] { m_app.undo(); });
    m_comparison->showAgain(m_toolkit.selectedRow());
  };
  m_comparison->closed = [this] {
    if (!m_window.isVisible()) return;
    m_window.activateWindow();
    m_window.table()->setFocus(Qt::OtherFocusReason);
  };
}

void WindowSession::wireClosing() {
  m_window.mayClose = [this] {
    const bool mayEnd = m_app.requestQuit();
    // The user let the saves go on: the window goes on as it was.
    if (!mayEnd && !m_app.quitting()) return false;
    // Pictures not yet begun are not wanted by a closing window.
    m_preview->hide();
    m_comparison->hide();
    m_pictures.dropPending();
    m_largePictures.dropPending();
    if (mayEnd) return true;
    // A save is rolling back: the window stays in sight, inert but for the message line that says
    // so and the progress bar, until it has.
    for (QWidget* control : std::initializer_list<QWidget*>{
             m_window.table(), m_window.addButton(), m_window.chooseButton(), m_window.saveButton(),
             m_window.menuBar()}) {
      control->setEnabled(false);
    }
    return false;
  };
}

WindowSession::~WindowSession() {
  // The size the user left the window at, maximized or not, is the size it opens at next time.
  m_toolkit.rememberWindowSize(m_window.isMaximized() || m_window.isFullScreen()
                                   ? m_window.normalGeometry().size()
                                   : m_window.size());
  m_comparison->closed = nullptr;
  m_comparison->hide();
  m_pictures.dropPending();
  m_largePictures.dropPending();
  // Every running save is asked to stop, and rolls back before its thread ends.
  m_app.requestQuit(false);
  m_toolkit.waitForBackgroundJobs();
}

void WindowSession::compare(int row) {
  if (row < 0 || static_cast<std::size_t>(row) >= m_app.rowCount()) return;
  m_previewWait.stop();
  m_preview->hide();
  m_comparison->open(row);
}

void WindowSession::showPreview(int row) {
  if (row < 0 || static_cast<std::size_t>(row) >= m_app.rowCount()) {
    m_preview->hide();
    return;
  }
  // A tooltip that says more than a path would be hidden by the look coming: the look waits.
  if (QToolTip::isVisible() &&
      (m_model.index(row, 0).data(RenderItemDelegate::kFaultRole).toBool() ||
       m_model.index(row, 1).data(RenderItemDelegate::kReasonRole).isValid())) {
    m_previewWaitRow = row;
    m_previewWait.start();
    return;
  }
  const std::string& render = m_app.renders()[static_cast<std::size_t>(row)];
  const auto original = m_app.originals().find(render);
  QTableView& table = *m_window.table();
  const QRect cell = table.visualRect(m_model.index(row, 0));
  const QRect rowArea(table.viewport()->mapToGlobal(cell.topLeft()),
                      QSize(table.viewport()->width(), cell.height()));
  const auto onScreen = [](const QWidget& widget) {
    return QRect(widget.mapToGlobal(QPoint(0, 0)), widget.size());
  };
  PreviewRoom room;
  room.list = onScreen(table);
  room.header = onScreen(*table.horizontalHeader());
  room.row = rowArea;
  for (const QWidget* button : {m_window.addButton(), m_window.chooseButton(), m_window.saveButton()}) {
    room.buttons = room.buttons.united(onScreen(*button));
  }
  m_preview->showPair(qPath(render),
                      original == m_app.originals().end() ? QString() : qPath(original->second),
                      m_model.index(row, 1).data().toString(), room);
}

void WindowSession::quitFromOutside() {
  // A modal panel or alert runs an event loop of its own, and the window cannot close under it:
  // each one is dismissed (as a cancel), and the quit is tried again once it has returned.
  if (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
    QMetaObject::invokeMethod(
        &m_toolkit, [this] { quitFromOutside(); }, Qt::QueuedConnection);
    return;
  }
  // Ended from outside (a signal, the session ending): nobody is there to answer a question.
  m_app.requestQuit(false);
  m_window.quitAction()->trigger();
}

void WindowSession::openFromOutside(std::vector<std::string> files) {
  if (m_window.isMinimized()) m_window.showNormal();
  m_window.show();
  m_window.raise();
  m_window.activateWindow();
  m_handedFiles.insert(m_handedFiles.end(), std::make_move_iterator(files.begin()),
                       std::make_move_iterator(files.end()));
  addHandedFiles();
}

void WindowSession::addHandedFiles() {
  if (m_handedFiles.empty()) return;
  // A panel or alert open now is part of something the window is in the middle of (a panel's
  // answer is awaited inside BridgeApp): the files wait until it has closed.
  if (QApplication::activeModalWidget() != nullptr) {
    QTimer::singleShot(kModalRecheckMs, &m_toolkit, [this] { addHandedFiles(); });
    return;
  }
  QMetaObject::invokeMethod(
      &m_toolkit,
      [this, files = std::exchange(m_handedFiles, {})] {
        m_toolkit.guarded([&] { m_app.openFiles(files); });
      },
      Qt::QueuedConnection);
}

void WindowSession::show() {
  m_model.setDevicePixelRatio(m_window.devicePixelRatioF());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    m_window.adjustSize();
    // Never smaller than the window's least size, nor larger than the screen it opens on.
    const QSize remembered = m_toolkit.rememberedWindowSize();
    if (remembered.isValid()) {
      m_window.resize(remembered.expandedTo(m_window.minimumSizeHint())
                          .boundedTo(screen->availableGeometry().size())
                          .expandedTo(m_window.minimumSize()));
    }
    QRect frame = m_window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    m_window.move(frame.topLeft());
  }
  m_window.show();
  m_window.raise();
  m_window.activateWindow();
  // Pictures are made for the density of the screen the window is on, and again when it moves to
  // another.
  m_model.setDevicePixelRatio(m_window.devicePixelRatioF());
  if (QWindow* handle = m_window.windowHandle()) {
    QObject::connect(handle, &QWindow::screenChanged, &m_toolkit,
                     [this] { m_model.setDevicePixelRatio(m_window.devicePixelRatioF()); });
  }
  m_app.refresh();
  QMetaObject::invokeMethod(
      &m_toolkit,
      [this, files = std::move(m_openedFiles)] {
        if (!files.empty()) m_toolkit.guarded([&] { m_app.openFiles(files); });
      },
      Qt::QueuedConnection);
}

}  // namespace quillmere
