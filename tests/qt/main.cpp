#include <gtest/gtest.h>

#include <QApplication>

#include "support/temp_dir.h"
#include "thumbnail/worker_mode.h"
#include "worker_faults.h"

// The window tests need a QApplication; they run without a display, on Qt's offscreen platform.
// The folders the panels remember go to a configuration folder of the run's own, never the user's.
int main(int argc, char** argv) {
  // The window's pictures are made by this executable started again as a picture worker, which
  // makes the faults of the files the tests mark.
  if (quillmere::isPictureWorkerCall(argc, argv)) {
    return quillmere::runPictureWorker(quillmere::testing::makePictureWorkerFault);
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const quillmere::testing::TempDir configuration;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(configuration.path()));
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
