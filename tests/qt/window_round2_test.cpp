// The window beyond its Parts, second round: saves on threads of their own, pictures in true colours
// in a calm table, the comparison view, the keyboard, choices checked when made, the pair at fault
// kept marked, and what a screen reader reads.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QToolTip>
#include <QHelpEvent>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qt_fixture.h"
#include "transfer/create_batch.h"
#include "window/render_item_delegate.h"

namespace quillmere {
namespace {

using namespace qt_testing;
namespace fs = std::filesystem;

// A photo with content of its own: a field of pure red, a white band and a blue one.
std::string redWhiteBlueJpeg() {
  QImage image(300, 200, QImage::Format_RGB32);
  image.fill(QColor(254, 0, 0));
  QPainter painter(&image);
  painter.fillRect(0, 70, 300, 60, Qt::white);
  painter.fillRect(0, 140, 300, 60, QColor(0, 0, 200));
  painter.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

// The popup menu open now, if any.
QMenu* openMenu() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }

class Round2Test : public WindowTest {
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

// --- saves on threads of their own

// Batches seen running on a thread of Qt's global pool.
std::atomic<int> g_batchesOnGlobalPool{0};

// A batch that runs the real createBatch and holds once its staging folder exists, until it is
// asked to stop; then it rolls back as any stopped batch does.
BatchResult heldBatch(const BatchRequest& request, const BatchObserver& observer) {
  if (QThreadPool::globalInstance()->contains(QThread::currentThread())) ++g_batchesOnGlobalPool;
  BatchObserver held = observer;
  held.progress = [&observer](const BatchProgress& progress) {
    if (observer.progress) observer.progress(progress);
    if (progress.phase != BatchPhase::staging) return;
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, observer.stop, [] { return false; });
  };
  return createBatch(request, posixFileSystem(), &held);
}

TEST_F(Round2Test, SavesRunOnThreadsOfTheirOwnSoTheWindowStaysPromptAndAQuitRollsEachBack) {
  const int cores = QThread::idealThreadCount();
  for (const int saves : {1, cores + 1}) {
    SCOPED_TRACE(std::to_string(saves) + " saves at once on " + std::to_string(cores) + " cores");
    TempDir out;
    startPaired({render("a.png"), render("b.png", 1)}, heldBatch);
    for (int i = 0; i < saves; ++i) {
      ModalAnswerer answerer;
      answerer.fileAnswers.push_back(ModalAnswerer::choose(out.path()));
      // Only the save button is disabled while a batch runs; the list's rule enables it again.
      m_session->app().refresh();
      ASSERT_TRUE(window().saveButton()->isEnabled());
      window().saveButton()->click();
      ASSERT_TRUE(answerer.fileAnswers.empty());
    }
    const auto staged = [&] {
      int count = 0;
      for (const auto& entry : fs::directory_iterator(out.path())) {
        count += entry.path().filename().string().starts_with(".quillmere-partial-") ? 1 : 0;
      }
      return count;
    };
    ASSERT_TRUE(waitUntil([&] { return staged() == saves; })) << staged();
    EXPECT_EQ(g_batchesOnGlobalPool.load(), 0) << "no batch holds a thread of Qt's global pool";

    // While every save is still running (each is held until it is stopped), the event loop runs:
    // a posted event and a repaint are handled, which a batch on the main thread would forbid.
    const auto allRunning = [&] {
      return m_session->toolkit().runningJobs() == static_cast<std::size_t>(saves) &&
             staged() == saves;
    };
    bool posted = false;
    QMetaObject::invokeMethod(qApp, [&] { posted = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(waitUntil([&] { return posted; }));
    EXPECT_TRUE(allRunning()) << "the posted event was handled while the saves ran";
    PaintCounter paints(table().viewport());
    table().viewport()->update();
    ASSERT_TRUE(waitUntil([&] { return paints.count > 0; }));
    EXPECT_TRUE(allRunning()) << "the repaint happened while the saves ran";
    // Qt's smooth scaling spreads over its global pool and waits for it, as its painting does: it
    // ends while the saves still hold their threads, which it could not if they held the pool's.
    std::atomic<bool> scaled{false};
    std::thread scaler([&] {
      QImage large(4000, 3000, QImage::Format_RGB32);
      large.fill(Qt::gray);
      scaled = !large.scaled(1000, 750, Qt::KeepAspectRatio, Qt::SmoothTransformation).isNull();
    });
    EXPECT_TRUE(waitUntil([&] { return scaled.load(); })) << "smooth scaling never ended";
    EXPECT_TRUE(allRunning()) << "the scaling ended while the saves ran";

    // Quitting (once the question is answered) stops every save within a chunk; each rolls back
    // before the window goes.
    ModalAnswerer stopping;
    EXPECT_EQ(runEventLoop([&] { window().close(); }), 0);
    EXPECT_EQ(stopping.alerts.size(), 1u);
    scaler.join();
    EXPECT_TRUE(fs::is_empty(out.path())) << "every staging folder removed";
    EXPECT_TRUE(waitUntil([&] { return m_session->toolkit().runningJobs() == 0; }));
    m_session.reset();
  }
}

// --- true colours, a calm table, pictures at the screen's density

TEST_F(Round2Test, APictureInASelectedRowHasExactlyThePixelsOfAnUnselectedOne) {
  const std::string bytes = redWhiteBlueJpeg();
  writeFile(m_dir / "DSC_1.png", bytes);
  writeFile(m_dir / "DSC_2.png", bytes);
  start({m_dir / "DSC_1.png", m_dir / "DSC_2.png"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0) && pictured(1, 0); }));
  m_session->toolkit().selectRow(0);
  for (const bool focused : {true, false}) {
    SCOPED_TRACE(focused ? "the table has the keyboard" : "the keyboard is elsewhere");
    activate(window(), focused ? static_cast<QWidget&>(table()) : *window().addButton());
    const QImage shot = table().viewport()->grab().toImage();
    const qreal ratio = shot.devicePixelRatio();
    const auto pixels = [&](const QRect& rect) {
      return shot.copy(QRect((rect.topLeft() * ratio), rect.size() * ratio));
    };
    const QImage selected = pixels(slot(0, 0));
    const QImage unselected = pixels(slot(1, 0));
    ASSERT_EQ(selected.size(), unselected.size());
    int differing = 0;
    for (int y = 0; y < selected.height(); ++y) {
      for (int x = 0; x < selected.width(); ++x) {
        differing += selected.pixel(x, y) != unselected.pixel(x, y) ? 1 : 0;
      }
    }
    EXPECT_EQ(differing, 0);
    // And the picture is there: pure red at the middle of its red field.
    EXPECT_EQ(QColor(selected.pixel(selected.width() / 2, selected.height() / 6)).red(), 254);
    // The row itself shows the selection: its background, beside the picture.
    const QRect text = RenderItemDelegate::textArea(table().visualRect(model().index(0, 0)));
    EXPECT_NE(shot.pixel(text.right() * ratio, text.top() * ratio + 2),
              shot.pixel(text.right() * ratio, (text.top() + 32) * ratio + 2));
  }
}

TEST_F(Round2Test, NamesStayWhereTheyAreWhetherAPictureIsOnItsWayHereOrNeverComes) {
  writeFile(m_dir / "x1.jpg", testing::jpegImage(300, 200));
  // A PNG whose header is sound but whose pixels are cut off: listed, but it gives no picture.
  std::string damaged = testing::pngImage(300, 200, 3);
  damaged.resize(60);
  writeFile(m_dir / "x2.png", damaged);
  ThumbnailCache* pictures = nullptr;
  struct Gate {
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
  };
  const auto gate = std::make_shared<Gate>();
  const auto release = [gate] {
    const std::lock_guard lock(gate->mutex);
    gate->go = true;
    gate->released.notify_all();
  };
  const std::unique_ptr<Gate, std::function<void(Gate*)>> releaseAtEnd(
      gate.get(), [release](Gate*) { release(); });
  start();
  pictures = &m_session->pictures();
  for (int i = 0; i < pictures->pool().maxThreadCount(); ++i) {
    pictures->pool().start([gate] {
      std::unique_lock lock(gate->mutex);
      gate->released.wait(lock, [&] { return gate->go; });
    });
  }
  m_session->app().openFiles({m_dir / "x1.jpg", m_dir / "x2.png"});
  ASSERT_EQ(model().rowCount(), 2) << "the damaged PNG must be listed for this test";
  m_session->toolkit().selectRow(1);
  activate(window(), *window().addButton());
  // Where the name starts: the first pixel right of the picture's slot unlike the row's background.
  const auto nameStart = [&](int row) {
    const QImage shot = table().viewport()->grab().toImage();
    const QRect cell = table().visualRect(model().index(row, 0));
    const QRect text = RenderItemDelegate::textArea(cell);
    const int y0 = cell.top() + 6;
    const QRgb background = shot.pixel(RenderItemDelegate::pictureSlot(cell).right() + 3, y0);
    for (int x = RenderItemDelegate::pictureSlot(cell).right() + 1; x < text.right(); ++x) {
      for (int y = y0; y < cell.bottom() - 6; ++y) {
        if (shot.pixel(x, y) != background) return x;
      }
    }
    return -1;
  };
  const auto placeholder = [&](int row) {
    const QImage shot = table().viewport()->grab().toImage();
    const QRect box = slot(row, 0);
    return shot.pixel(box.center()) != shot.pixel(box.right() + 3, box.center().y());
  };
  QApplication::processEvents();
  const int pendingFirst = nameStart(0);
  const int pendingSecond = nameStart(1);
  EXPECT_TRUE(placeholder(0)) << "the slot shows a placeholder while the picture is on its way";
  release();
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0) && pictures->madeCount() >= 2; }));
  EXPECT_FALSE(pictured(1, 0)) << "the damaged PNG gives none";
  QApplication::processEvents();
  EXPECT_GT(pendingFirst, 0);
  EXPECT_EQ(nameStart(0), pendingFirst) << "the name did not move when its picture came";
  EXPECT_EQ(nameStart(1), pendingSecond) << "nor where none came";
  EXPECT_EQ(pendingFirst, pendingSecond) << "one column, one edge";
  EXPECT_TRUE(placeholder(1)) << "a file with no picture keeps the slot's placeholder";
}

// Run at a scale factor of 2 by the test `qt_tests_high_density` (QT_SCALE_FACTOR=2).
TEST_F(Round2Test, PicturesAreMadeAtTheScreensPixelDensity) {
  writeFile(m_dir / "DSC_1.jpg", testing::jpegImage(600, 400));
  start({m_dir / "DSC_1.jpg"});
  const qreal ratio = window().devicePixelRatioF();
  const QByteArray expected = qgetenv("QUILLMERE_EXPECT_PIXEL_RATIO");
  if (!expected.isEmpty()) {
    ASSERT_EQ(ratio, expected.toDouble());
  }
  if (ratio == 1.0) GTEST_SKIP() << "a scale of 1; qt_tests_high_density runs this at 2";
  ASSERT_TRUE(waitUntil([&] { return pictured(0, 0); }));
  const auto picture = model().index(0, 0).data(Qt::DecorationRole).value<QPixmap>();
  EXPECT_EQ(picture.devicePixelRatio(), ratio);
  EXPECT_EQ(picture.size(), (QSize(layout::kPictureWidth, layout::kPictureHeight) * ratio));
  EXPECT_EQ(picture.deviceIndependentSize().toSize(),
            QSize(layout::kPictureWidth, layout::kPictureHeight));
}

TEST_F(Round2Test, TheFocusedRowsFrameStandsOutFromTheSelectionInLightAndDarkPalettes) {
  // Without originals: the source cells have a muted text colour of their own, which the frame
  // across them must not take.
  start({render("a.png"), render("b.png", 1)});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  QPalette dark;
  dark.setColor(QPalette::Base, QColor(30, 30, 30));
  dark.setColor(QPalette::Text, QColor(230, 230, 230));
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  for (const auto& [name, palette] :
       {std::pair{"light", QApplication::palette()}, std::pair{"dark", dark}}) {
    SCOPED_TRACE(name);
    table().setPalette(palette);
    m_session->toolkit().selectRow(0);
    activate(window(), table());
    const QImage shot = table().viewport()->grab().toImage();
    const QRect row = table().visualRect(model().index(0, 0));
    const QColor selection = palette.color(QPalette::Active, QPalette::Highlight);
    // The frame along the row's top and at its start, standing out from the selection inside it
    // and from the table's background outside it.
    const QColor top = shot.pixel(row.center().x(), row.top() + 1);
    const QColor start = shot.pixel(row.left() + 1, row.center().y());
    EXPECT_EQ(QColor(shot.pixel(row.center().x(), row.top() + 5)), selection);
    EXPECT_GE(RenderItemDelegate::contrast(top, palette.color(QPalette::Active, QPalette::Base)),
              3.0);
    EXPECT_GE(RenderItemDelegate::contrast(top, selection), 3.0) << top.name().toStdString();
    EXPECT_EQ(start, top);
    // The same frame over the second cell, to the row's end.
    const QRect second = table().visualRect(model().index(0, 1));
    EXPECT_EQ(QColor(shot.pixel(second.center().x(), second.top() + 1)), top);
    EXPECT_EQ(QColor(shot.pixel(second.center().x(), second.bottom())), top);
    EXPECT_EQ(QColor(shot.pixel(second.right() - 1, second.center().y())), top);
    // Without the keyboard, no frame.
    activate(window(), *window().addButton());
    const QImage unfocused = table().viewport()->grab().toImage();
    EXPECT_NE(QColor(unfocused.pixel(row.center().x(), row.top() + 1)), top);
  }
}

// --- the comparison view

TEST_F(Round2Test, SpaceOrADoubleClickOnAPictureComparesThePairAsLargeAsTheScreenAllows) {
  const std::string long1 = "DSC_1234 第三次调色 给客户确认的版本 第二稿 最终.jpg";
  writeFile(m_dir / long1, testing::jpegImage(1200, 800));
  writeFile(m_dir / "DSC_2.jpg", testing::jpegImage(800, 1200, 1));
  writeFile(m_dir / "DSC_3.jpg", testing::jpegImage(900, 600, 2));
  start({m_dir / long1, m_dir / "DSC_2.jpg", m_dir / "DSC_3.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  writeFile(m_dir / "DSC_1234.CR3",
            testing::dngLikeImage(testing::jpegImage(1200, 800, 5), 1200, 800, true, 512, 384));
  m_session->toolkit().selectRow(0);
  {
    ModalAnswerer answerer;
    answerer.fileAnswers.push_back(ModalAnswerer::choose(m_dir / "DSC_1234.CR3"));
    window().chooseButton()->click();
  }
  ComparisonView& view = m_session->comparison();
  activate(window(), table());
  m_session->toolkit().selectRow(0);
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), &view);
  const QRect available = window().screen()->availableGeometry();
  EXPECT_EQ(view.geometry(), available) << "as large as the screen's available area";
  const QSize box = view.pictureBox();
  EXPECT_GT(box.width(), available.width() * 2 / 5) << "each picture fits half of it";
  EXPECT_LE(box.width(), available.width() / 2);
  EXPECT_GT(box.height(), available.height() * 3 / 5);
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  const QSize render = view.renderPicture()->pixmap().deviceIndependentSize().toSize();
  const QSize original = view.originalPicture()->pixmap().deviceIndependentSize().toSize();
  EXPECT_EQ(render, QSize(1200, 800).scaled(box, Qt::KeepAspectRatio));
  EXPECT_EQ(original, QSize(1200, 800).scaled(box, Qt::KeepAspectRatio))
      << "the original's embedded preview, reduced";
  // Long names keep their start and their extension.
  const QString name = view.renderName()->text();
  EXPECT_TRUE(name.startsWith(QStringLiteral("DSC_1234"))) << name.toStdString();
  EXPECT_TRUE(name.endsWith(QStringLiteral(".jpg"))) << name.toStdString();
  EXPECT_EQ(view.originalName()->text(), QStringLiteral("DSC_1234.CR3"));

  // Left and Right, Up and Down step through the pairs, the table following.
  const struct {
    Qt::Key key;
    int row;
  } steps[] = {{Qt::Key_Right, 1}, {Qt::Key_Down, 2}, {Qt::Key_Down, 2},
               {Qt::Key_Left, 1},  {Qt::Key_Up, 0},   {Qt::Key_Up, 0}};
  for (const auto& step : steps) {
    QTest::keyClick(&view, step.key);
    EXPECT_EQ(view.row(), step.row);
    EXPECT_EQ(m_session->toolkit().selectedRow(), step.row);
    // The pictures' room is the same whatever the names under them: a Chinese name never makes
    // the pictures be made again at another size.
    QApplication::processEvents();
    EXPECT_EQ(view.pictureBox(), box);
  }
  QTest::keyClick(&view, Qt::Key_Right);
  ASSERT_TRUE(waitUntil([&] { return view.isComplete(); }));
  EXPECT_EQ(view.originalPicture()->text(), u8("请选择原照片")) << "row 1 has no original yet";

  // Escape, Space or a click closes it; the table has the keyboard again, on the row compared.
  const struct {
    const char* name;
    std::function<void()> close;
  } closers[] = {
      {"Escape", [&] { QTest::keyClick(&view, Qt::Key_Escape); }},
      {"Space", [&] { QTest::keyClick(&view, Qt::Key_Space); }},
      {"a click", [&] { QTest::mouseClick(&view, Qt::LeftButton, {}, view.rect().center()); }},
  };
  for (const auto& closer : closers) {
    SCOPED_TRACE(closer.name);
    if (!view.isVisible()) {
      activate(window(), table());
      QTest::keyClick(&table(), Qt::Key_Space);
    }
    ASSERT_TRUE(view.isVisible());
    closer.close();
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
  }

  // A double click on a picture compares; elsewhere in the row it pairs, as before.
  activate(window(), table());
  QTest::mouseDClick(table().viewport(), Qt::LeftButton, {}, slot(2, 0).center());
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 2);
  QTest::keyClick(&view, Qt::Key_Escape);
}

TEST_F(Round2Test, ARowTheSelectionRestsOnHasItsComparisonPicturesMadeAhead) {
  writeFile(m_dir / "DSC_1.jpg", testing::jpegImage(1200, 800));
  writeFile(m_dir / "DSC_2.jpg", testing::jpegImage(1200, 800, 1));
  writeFile(m_dir / "DSC_3.jpg", testing::jpegImage(1200, 800, 2));
  start({m_dir / "DSC_1.jpg", m_dir / "DSC_2.jpg", m_dir / "DSC_3.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 3; }));
  activate(window(), table());
  ComparisonView& view = m_session->comparison();
  // Heard from the start, so that the third row's picture is never made unseen.
  const QString third = QString::fromStdString(m_dir / "DSC_3.jpg");
  bool madeAhead = false;
  QObject listener;
  QObject::connect(&m_session->largePictures(), &ThumbnailCache::pictureReady, &listener,
                   [&](const QString& path) { madeAhead = madeAhead || path == third; });
  // Without a rest, the view opens before its pictures are in.
  m_session->toolkit().selectRow(1);
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_FALSE(view.isComplete());
  QTest::keyClick(&view, Qt::Key_Escape);
  // After one, they are there at once: the view opens once the picture made ahead is in.
  m_session->toolkit().selectRow(2);
  ASSERT_TRUE(waitUntil([&] { return madeAhead; }));
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(view.isVisible());
  EXPECT_EQ(view.row(), 2);
  EXPECT_TRUE(view.isComplete()) << "made while the selection rested on the row";
  QTest::keyClick(&view, Qt::Key_Escape);
}

// --- the keyboard

TEST_F(Round2Test, F10OpensTheMenuAndShiftF10OrTheMenuKeyTheRowsContextMenu) {
  startPaired({render("a.png"), render("b.png", 1)});
  activate(window(), table());
  m_session->toolkit().selectRow(1);

  // What the popup menu that a key opened held, and where it stood; read while it is open (a
  // context menu is gone once it closes).
  struct Shown {
    bool open = false;
    QList<QAction*> actions;
    QRect geometry;
  };
  const auto openedBy = [&](const std::function<void()>& press) {
    auto shown = std::make_shared<Shown>();
    QTimer::singleShot(100, [shown] {
      if (QMenu* menu = openMenu()) {
        shown->open = true;
        shown->actions = menu->actions();
        shown->geometry = menu->geometry();
        menu->close();
      }
    });
    press();
    EXPECT_TRUE(waitUntil([&] { return shown->open; }));
    QApplication::processEvents();
    return *shown;
  };

  Shown menu = openedBy([&] { QTest::keyClick(&window(), Qt::Key_F10); });
  ASSERT_TRUE(menu.open) << "F10";
  EXPECT_EQ(menu.actions,
            (QList<QAction*>{window().nextAction(),
                             window().findChild<QAction*>(QStringLiteral("checkBatchAction")),
                             window().quitAction()}));

  activate(window(), table());
  menu = openedBy([&] { QTest::keyClick(&table(), Qt::Key_F10, Qt::ShiftModifier); });
  ASSERT_TRUE(menu.open) << "Shift+F10";
  EXPECT_EQ(menu.actions, (QList<QAction*>{window().compareAction(), window().removeAction(),
                                            window().undoAction()}));
  // At the focused row, not wherever the pointer is.
  const QRect row = table().visualRect(model().index(1, 0));
  const QRect rowOnScreen(table().viewport()->mapToGlobal(row.topLeft()), row.size());
  EXPECT_LE(std::abs(menu.geometry.top() - rowOnScreen.bottom()), 2);

  // The Menu key, as the platform hands it over: a context menu event of the keyboard.
  activate(window(), table());
  menu = openedBy([&] {
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(1, 1),
                          table().mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(&table(), &key);
  });
  ASSERT_TRUE(menu.open) << "the Menu key";
  EXPECT_EQ(menu.actions.size(), 3);
  EXPECT_LE(std::abs(menu.geometry.top() - rowOnScreen.bottom()), 2);
}

TEST_F(Round2Test, CtrlZPutsTheLastRemovedRenderBackWithItsOriginal) {
  startPaired({render("a.png"), render("b.png", 1), render("c.png", 2)});
  activate(window(), table());
  EXPECT_TRUE(window().undoAction()->isEnabled()) << "the pairings can be undone";
  m_session->toolkit().selectRow(1);
  QTest::keyClick(&table(), Qt::Key_Delete);
  ASSERT_EQ(model().rowCount(), 2);
  EXPECT_TRUE(window().undoAction()->isEnabled());
  EXPECT_EQ(window().undoAction()->text(), u8("撤销"));
  // From anywhere in the window.
  activate(window(), *window().addButton());
  QTest::keyClick(window().addButton(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(model().rowCount(), 3);
  EXPECT_EQ(cell(1, 0), "b.png");
  EXPECT_EQ(cell(1, 1), "o1.CR3") << "with its original";
  EXPECT_EQ(m_session->toolkit().selectedRow(), 1);
  EXPECT_TRUE(window().saveButton()->isEnabled());
  // Then the latest pairing, the third row's.
  EXPECT_TRUE(window().undoAction()->isEnabled());
  QTest::keyClick(window().addButton(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(cell(2, 1), "请选择原照片");
  EXPECT_EQ(m_session->toolkit().selectedRow(), 2);
  EXPECT_FALSE(window().saveButton()->isEnabled());
}

// --- checks at the moment of choice

TEST_F(Round2Test, ChoicesThatCannotServeAreRefusedWhenMadeNamingTheFile) {
  const std::string a = render("DSC_1.png");
  const std::string b = render("DSC_2.png", 1);
  start({a, b});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 2; }));
  m_session->toolkit().selectRow(0);
  ModalAnswerer answerer;

  // An original that is gone by the time the panel has closed (the panel itself accepts only
  // files that exist).
  const std::string original = m_dir / "DSC_1.CR3";
  writeFile(original, "raw");
  answerer.fileAnswers.push_back([&](QFileDialog& dialog) {
    ModalAnswerer::choose(original)(dialog);
    fs::remove(original);
  });
  window().chooseButton()->click();
  EXPECT_EQ(answerer.alerts,
            (Strings{"无法检查“" + original + "”：没有那个文件或目录（ENOENT）\nDSC_1.CR3"}));
  EXPECT_EQ(cell(0, 1), "请选择原照片") << "no pairing";
  EXPECT_EQ(m_session->toolkit().selectedRow(), 0);

  // One of the listed renders.
  answerer.alerts.clear();
  answerer.fileAnswers.push_back(ModalAnswerer::choose(b));
  window().chooseButton()->click();
  EXPECT_EQ(answerer.alerts,
            (Strings{"这是列表中的导出照片，不能作为原照片；请选择 Quillmere 中导入的原照片。\n"
                     "DSC_2.png"}));
  EXPECT_EQ(cell(0, 1), "请选择原照片");

  // A destination nobody may write in: refused when chosen, naming it; the panel opens again.
  for (int row = 0; row < 2; ++row) {
    writeFile(m_dir / numbered("o", row, ".CR3"), "raw");
    m_session->toolkit().selectRow(row);
    answerer.fileAnswers.push_back(
        ModalAnswerer::choose(m_dir / numbered("o", row, ".CR3")));
    window().chooseButton()->click();
  }
  ASSERT_TRUE(window().saveButton()->isEnabled());
  answerer.alerts.clear();
  answerer.fileAnswers.push_back(ModalAnswerer::choose("/proc/sys"));
  answerer.fileAnswers.push_back([](QFileDialog& dialog) { dialog.reject(); });
  window().saveButton()->click();
  EXPECT_TRUE(answerer.fileAnswers.empty()) << "the panel opened again";
  EXPECT_EQ(answerer.alerts,
            (Strings{"无法写入“/proc/sys”：没有访问权限（EACCES）\n请重新选择保存文件夹。"}));
  EXPECT_NE(window().message()->text(), u8("正在准备照片，请稍候…")) << "nothing was saved";
  EXPECT_TRUE(window().saveButton()->isEnabled());
}

// --- the pair at fault

TEST_F(Round2Test, AfterAFailedSaveThePairAtFaultStaysSelectedAndMarked) {
  Strings renders;
  for (int i = 0; i < 14; ++i) renders.push_back(render(numbered("r", 10 + i, ".png"), i));
  startPaired(renders, [](const BatchRequest&, const BatchObserver& observer) -> BatchResult {
    observer.failed(BatchFailureSite{12, BatchSubject::render});
    throw BridgeFailure("照片在处理期间发生变化，请等导出完成后重试。");
  });
  const std::string text = "照片在处理期间发生变化，请等导出完成后重试。\n" + renders[12];
  m_session->toolkit().selectRow(0);
  table().scrollToTop();
  TempDir out;
  ModalAnswerer answerer;
  answerer.fileAnswers.push_back(ModalAnswerer::choose(out.path()));
  window().saveButton()->click();
  ASSERT_TRUE(waitUntil([&] { return !answerer.alerts.empty(); }));
  ASSERT_TRUE(waitUntil([&] { return m_session->toolkit().selectedRow() == 12; }));
  EXPECT_EQ(answerer.alerts, (Strings{text}));
  QApplication::processEvents();
  EXPECT_TRUE(table().viewport()->rect().contains(table().visualRect(model().index(12, 0))))
      << "scrolled into view";
  for (int column : {0, 1}) {
    EXPECT_EQ(model().index(12, column).data(Qt::ToolTipRole).toString().toStdString(), text);
  }
  EXPECT_NE(model().index(11, 0).data(Qt::ToolTipRole).toString().toStdString(), text);
  // The sign on its picture, whether the picture has come or not.
  ASSERT_TRUE(waitUntil([&] { return pictured(12, 0) && pictured(11, 0); }));
  const QImage marked = model().index(12, 0).data(Qt::DecorationRole).value<QPixmap>().toImage();
  const QImage plain = m_session->pictures()
                           .picture(QString::fromStdString(renders[12]),
                                    QSize(layout::kPictureWidth, layout::kPictureHeight))
                           .second.toImage();
  EXPECT_NE(marked, plain);
  EXPECT_EQ(window().message()->text(), u8("保存未完成，保存文件夹没有改动。请按提示处理后再试。"))
      << "the line no longer says the window is working";

  // The larger look over it holds back no failure: its tooltip still says why.
  window().rowHovered(12);
  ASSERT_TRUE(m_session->preview().isVisible());
  const QPoint at = table().visualRect(model().index(12, 1)).center();
  QHelpEvent help(QEvent::ToolTip, at, table().viewport()->mapToGlobal(at));
  QApplication::sendEvent(table().viewport(), &help);
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text().toStdString(), text);
  QToolTip::hideText();
}

// --- what a screen reader reads

TEST_F(Round2Test, EveryControlHasAnAccessibleNameAndDescriptionInChinese) {
  writeFile(m_dir / "DSC_1234.jpg", testing::jpegImage(300, 200));
  start({m_dir / "DSC_1234.jpg"});
  ASSERT_TRUE(waitUntil([&] { return model().rowCount() == 1; }));
  const auto isChinese = [](const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff; });
  };
  const auto read = [&](QObject* object) {
    QAccessibleInterface* control = QAccessible::queryAccessibleInterface(object);
    EXPECT_NE(control, nullptr);
    if (control == nullptr) return std::pair<QString, QString>();
    return std::pair(control->text(QAccessible::Name), control->text(QAccessible::Description));
  };
  for (QWidget* control : std::initializer_list<QWidget*>{
           &table(), window().addButton(), window().chooseButton(), window().saveButton(),
           window().message(), window().headline(), window().progress(), window().menuBar(),
           &m_session->preview(), &m_session->comparison()}) {
    SCOPED_TRACE(control->objectName().toStdString());
    const auto [name, description] = read(control);
    EXPECT_TRUE(isChinese(name)) << name.toStdString();
    EXPECT_TRUE(isChinese(description)) << description.toStdString();
  }
  EXPECT_EQ(read(window().saveButton()).first, u8("保存并带回 Quillmere…"));
  EXPECT_EQ(read(&table()).first, u8("照片列表"));

  // The columns and the cells, through the table's own interface.
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&table());
  ASSERT_NE(list, nullptr);
  QAccessibleTableInterface* grid = list->tableInterface();
  ASSERT_NE(grid, nullptr);
  QStringList headers;
  for (int i = 0; i < list->childCount(); ++i) {
    QAccessibleInterface* child = list->child(i);
    if (child == nullptr || child->role() != QAccessible::ColumnHeader) continue;
    headers << child->text(QAccessible::Name) + QLatin1Char('|') +
                   child->text(QAccessible::Description);
  }
  EXPECT_EQ(headers, (QStringList{u8("导出的照片|从 Capture One 导出的照片"),
                                  u8("对应原照片|与 Quillmere 中导入的原照片一致的原照片")}));
  QAccessibleInterface* render = grid->cellAt(0, 0);
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(render->text(QAccessible::Name), u8("DSC_1234.jpg"));
  EXPECT_EQ(render->text(QAccessible::Description), u8("DSC_1234.jpg 的缩略图"));
  QAccessibleInterface* source = grid->cellAt(0, 1);
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->text(QAccessible::Name), u8("请选择原照片"));
  EXPECT_EQ(source->text(QAccessible::Description), u8("尚未选择原照片"));

  // The pictures of the comparison view.
  activate(window(), table());
  QTest::keyClick(&table(), Qt::Key_Space);
  ASSERT_TRUE(m_session->comparison().isVisible());
  EXPECT_EQ(read(m_session->comparison().renderPicture()).first, u8("DSC_1234.jpg 的缩略图"));
  QTest::keyClick(&m_session->comparison(), Qt::Key_Escape);
}

}  // namespace
}  // namespace quillmere
