// Takes the pictures of the window for the README: the real window with four renders opened with
// the application; the third paired by hand with an original of another name (marked), then the
// originals of the first two chosen at once and paired by their names, the fourth still waiting
// for its original, and the keyboard on the table with the second row selected (its frame and
// its pictures in true colours); each cell with the small picture of its file (the originals are
// raw-like files whose embedded previews match their renders, except the one of another name).
// OUTPUT-pair.png shows the larger look at the first row's pair that the pointer resting on it
// brings, OUTPUT-unpaired.png the tooltip of the fourth row, which pairing by name left waiting
// between two candidates, OUTPUT-large.png the window made larger, OUTPUT-compare.png the
// comparison view that Space opens. scripts/screenshot.sh runs it
// under Xvfb; the pictures are of the X server's own pixels.
//
//   window_screenshot OUTPUT.png WORK_FOLDER

#include <QApplication>
#include <QCursor>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <QWindow>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"
#include "window/window_session.h"
#include "thumbnail/worker_mode.h"

namespace {

bool waitUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(10000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Clicks the choose button and answers its panel with `original`, as a user typing into it: a
// path, or several quoted names in `folder`.
bool pair(quillmere::WindowSession& session, const std::string& original,
          const std::string& folder = {}) {
  bool answered = false;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (name == nullptr) {
      dialog->reject();
      return;
    }
    if (!folder.empty()) dialog->setDirectory(QString::fromStdString(folder));
    name->setText(QString::fromStdString(original));
    static_cast<QDialog*>(dialog)->accept();
    answered = true;
  });
  answer.start(20);
  session.window().chooseButton()->click();
  return answered;
}

// A landscape of its own for each seed: sky, sun and two hills, in colours drawn from the seed.
QImage scene(int seed) {
  QImage image(900, 600, QImage::Format_RGB888);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const int hue = (seed * 67) % 360;
  QLinearGradient sky(0, 0, 0, 600);
  sky.setColorAt(0, QColor::fromHsv(hue, 120, 250));
  sky.setColorAt(1, QColor::fromHsv((hue + 40) % 360, 60, 255));
  painter.fillRect(image.rect(), sky);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromHsv((hue + 180) % 360, 200, 255));
  painter.drawEllipse(QPoint(150 + seed * 90 % 600, 170), 70, 70);
  painter.setBrush(QColor::fromHsv((hue + 100) % 360, 160, 150));
  painter.drawEllipse(QPoint(250, 650), 500, 260);
  painter.setBrush(QColor::fromHsv((hue + 140) % 360, 180, 110));
  painter.drawEllipse(QPoint(750, 700), 450, 280);
  return image;
}

std::string encoded(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return bytes.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  // The window's pictures are made by this executable started again as a picture worker.
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
  QApplication application(argc, argv);
  if (argc != 3) return 2;
  const QString output = QString::fromLocal8Bit(argv[1]);
  const std::string folder = argv[2];

  using quillmere::testing::writeFile;
  const std::vector<std::string> renders = {folder + "/DSC_0142.jpg", folder + "/DSC_0143.tif",
                                            folder + "/DSC_0157.png", folder + "/DSC_0158.jpg"};
  writeFile(renders[0], encoded(scene(1), "JPEG"));
  writeFile(renders[1], encoded(scene(2), "TIFF"));
  writeFile(renders[2], encoded(scene(3), "PNG"));
  writeFile(renders[3], encoded(scene(4), "JPEG"));
  // Raw-like originals whose previews are the renders' pictures; DSC_0175's is of another photo.
  const auto original = [&](const char* name, int seed) {
    writeFile(folder + "/" + name, quillmere::testing::dngLikeImage(encoded(scene(seed), "JPEG"),
                                                                    900, 600, true, 1200, 800));
  };
  original("DSC_0142.CR3", 1);
  original("DSC_0143.CR3", 2);
  original("DSC_0175.CR3", 7);
  // Two candidates of the fourth render's name: pairing by name leaves it waiting, saying why.
  original("DSC_0158.CR3", 4);
  original("DSC_0158.NEF", 4);
  writeFile(folder + "/DSC_0142.xmp", "<x:xmpmeta/>");

  // The pointer out of the way: where the X server put it, it could hover over a row.
  QCursor::setPos(0, 0);
  quillmere::WindowSession session(renders);
  session.show();
  if (!waitUntil([&] { return session.app().rowCount() == renders.size(); })) return 1;
  session.toolkit().selectRow(2);
  if (!pair(session, folder + "/DSC_0175.CR3")) return 1;
  session.toolkit().selectRow(0);
  if (!pair(session,
            "\"DSC_0142.CR3\" \"DSC_0142.xmp\" \"DSC_0143.CR3\" \"DSC_0158.CR3\" \"DSC_0158.NEF\"",
            folder)) {
    return 1;
  }
  // The second row selected, the keyboard on the table: its frame stands out from the selection.
  session.toolkit().selectRow(1);
  session.window().activateWindow();
  session.window().table()->setFocus(Qt::TabFocusReason);
  // Every picture made, before the window is taken.
  const QAbstractItemModel& model = *session.window().table()->model();
  const auto pictured = [&](int row, int column) {
    return model.index(row, column).data(Qt::DecorationRole).value<QPixmap>()
               .deviceIndependentSize().toSize() ==
           QSize(quillmere::layout::kPictureWidth, quillmere::layout::kPictureHeight);
  };
  if (!waitUntil([&] {
        return pictured(0, 0) && pictured(1, 0) && pictured(2, 0) && pictured(3, 0) &&
               pictured(0, 1) && pictured(1, 1) && pictured(2, 1);
      })) {
    std::fprintf(stderr, "the table's pictures did not come\n");
    return 1;
  }

  QWidget& window = session.window();
  if (!waitUntil([&] { return window.isVisible() && window.windowHandle()->isExposed(); })) {
    return 1;
  }
  const auto take = [&](QWidget& widget, const QString& path) {
    // Let the last repaint reach the X server before reading it back.
    QDeadlineTimer settle(500);
    while (!settle.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    QPixmap picture = widget.screen()->grabWindow(widget.winId());
    if (picture.isNull()) picture = widget.grab();
    return picture.save(path, "PNG");
  };
  // A window manager may hand the keyboard over only once the window is mapped.
  if (!waitUntil([&] { return session.window().table()->hasFocus(); })) {
    session.window().activateWindow();
    session.window().table()->setFocus(Qt::TabFocusReason);
    std::fprintf(stderr, "active %d, focus on the table %d\n", window.isActiveWindow(),
                 session.window().table()->hasFocus());
  }
  if (!take(window, output)) return 1;
  const auto sibling = [&](const char* suffix) {
    QString path = output;
    path.replace(QStringLiteral(".png"), QString::fromLatin1(suffix));
    return path;
  };

  // The pointer resting on the first row: the larger look at its pair, beside the row.
  session.window().rowHovered(0);
  quillmere::PairPreview& preview = session.preview();
  const auto larger = [&](const char* name) {
    return !preview.findChild<QLabel*>(QString::fromLatin1(name))->pixmap().isNull();
  };
  if (!waitUntil([&] {
        return preview.isVisible() && larger("renderPicture") && larger("originalPicture");
      })) {
    std::fprintf(stderr, "the larger look: shown %d, render %d, original %d\n", preview.isVisible(),
                 larger("renderPicture"), larger("originalPicture"));
    return 1;
  }
  // The look is a window of its own beside the main one: the picture is of the screen around both.
  {
    QDeadlineTimer settle(500);
    while (!settle.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    const QRect both = window.frameGeometry().united(preview.frameGeometry());
    const QPixmap picture =
        window.screen()->grabWindow(0, both.x(), both.y(), both.width(), both.height());
    if (picture.isNull() || !picture.save(sibling("-pair.png"), "PNG")) return 1;
  }
  preview.hide();

  // The row pairing by name left waiting, its tooltip saying why.
  {
    QTableView& table = *session.window().table();
    const QRect cell = table.visualRect(model.index(3, 1));
    const QPoint at = table.viewport()->mapToGlobal(cell.center());
    QToolTip::showText(at, model.index(3, 1).data(Qt::ToolTipRole).toString(), table.viewport(),
                       cell);
    QWidget* tip = nullptr;
    if (!waitUntil([&] {
          for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->inherits("QTipLabel") && widget->isVisible()) tip = widget;
          }
          return tip != nullptr;
        })) {
      std::fprintf(stderr, "the unpaired row's tooltip did not show\n");
      return 1;
    }
    QDeadlineTimer settle(500);
    while (!settle.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    const QRect both = window.frameGeometry().united(tip->frameGeometry());
    const QPixmap picture =
        window.screen()->grabWindow(0, both.x(), both.y(), both.width(), both.height());
    if (picture.isNull() || !picture.save(sibling("-unpaired.png"), "PNG")) return 1;
    QToolTip::hideText();
  }

  // The window made larger: the list takes the room, its columns sharing the width.
  {
    const QSize larger = window.size() + QSize(360, 200);
    window.resize(larger);
    if (!waitUntil([&] { return window.size() == larger; })) {
      std::fprintf(stderr, "the window was not made larger\n");
      return 1;
    }
    if (!take(window, sibling("-large.png"))) return 1;
  }

  // Space on the first row: the comparison view, as large as the screen allows.
  session.toolkit().selectRow(0);
  session.window().comparisonRequested(0);
  quillmere::ComparisonView& comparison = session.comparison();
  if (!waitUntil([&] {
        return comparison.isVisible() && comparison.isComplete() &&
               comparison.windowHandle() != nullptr && comparison.windowHandle()->isExposed();
      })) {
    std::fprintf(stderr, "the comparison view did not complete\n");
    return 1;
  }
  return take(comparison, sibling("-compare.png")) ? 0 : 1;
}
