// Takes the picture of the window for the README: the real window with four renders opened with
// the application; the third paired by hand with an original of another name (marked), then the
// originals of the first two chosen at once and paired by their names, the fourth still waiting
// for its original, and the keyboard on the choose button. scripts/screenshot.sh runs it under
// Xvfb; the picture is of the X server's own pixels.
//
//   window_screenshot OUTPUT.png WORK_FOLDER

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <string>
#include <vector>

#include "support/images.h"
#include "support/temp_dir.h"
#include "window/window_session.h"

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

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3) return 2;
  const QString output = QString::fromLocal8Bit(argv[1]);
  const std::string folder = argv[2];

  using quillmere::testing::writeFile;
  const std::vector<std::string> renders = {folder + "/DSC_0142.jpg", folder + "/DSC_0143.tif",
                                            folder + "/DSC_0157.png", folder + "/DSC_0158.jpg"};
  writeFile(renders[0], quillmere::testing::jpegImage(120, 80, 1));
  writeFile(renders[1], quillmere::testing::tiffImage(120, 80, 2));
  writeFile(renders[2], quillmere::testing::pngImage(120, 80, 3));
  writeFile(renders[3], quillmere::testing::jpegImage(120, 80, 4));
  for (const char* name : {"DSC_0142.CR3", "DSC_0142.xmp", "DSC_0143.CR3", "DSC_0175.CR3"}) {
    writeFile(folder + "/" + name, std::string("original ") + name);
  }

  quillmere::WindowSession session(renders);
  session.show();
  if (!waitUntil([&] { return session.app().rowCount() == renders.size(); })) return 1;
  session.toolkit().selectRow(2);
  if (!pair(session, folder + "/DSC_0175.CR3")) return 1;
  session.toolkit().selectRow(0);
  if (!pair(session, "\"DSC_0142.CR3\" \"DSC_0142.xmp\" \"DSC_0143.CR3\"", folder)) return 1;
  session.window().activateWindow();
  session.window().chooseButton()->setFocus(Qt::TabFocusReason);

  QWidget& window = session.window();
  if (!waitUntil([&] { return window.isVisible() && window.windowHandle()->isExposed(); })) {
    return 1;
  }
  // Let the last repaint reach the X server before reading it back.
  QDeadlineTimer settle(500);
  while (!settle.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 20);
  QPixmap picture = window.screen()->grabWindow(window.winId());
  if (picture.isNull()) picture = window.grab();
  return picture.save(output, "PNG") ? 0 : 1;
}
