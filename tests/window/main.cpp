#include <gtest/gtest.h>

#include <QApplication>

#include "support/temp_dir.h"
#include "thumbnail/worker_mode.h"
#include "worker_faults.h"

// The window tests need a QApplication; they run without a display, on Qt's offscreen platform.
// The folders the panels remember go to a configuration folder of the run's own, never the user's.
// The offscreen screen is a common desktop's, 1920 by 1080, rather than the plugin's 800 by 600,
// which leaves no room beside an 800-pixel window.
int main(int argc, char** argv) {
  // The window's pictures are made by this executable started again as a picture worker, which
  // makes the faults of the files the tests mark.
  if (quillmere::isPictureWorkerCall(argc, argv)) {
    return quillmere::runPictureWorker(quillmere::testing::makePictureWorkerFault);
  }
  const quillmere::testing::TempDir configuration;
  const std::string screens = configuration.path() + "/screens.json";
  quillmere::testing::writeFile(
      screens,
      R"({"screens": [{"name": "desktop", "x": 0, "y": 0, "width": 1920, "height": 1080,)"
      R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString("offscreen:configfile=" + screens));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(configuration.path()));
  // The pictures kept for next time go there too, never to the user's own thumbnail cache.
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(configuration.path() + "/cache"));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
