#include <gtest/gtest.h>

#include <QApplication>

#include "thumbnail/worker_mode.h"

// The window's pictures need a QApplication, here without a display, and picture workers: this
// executable started again in the workers' mode.
int main(int argc, char** argv) {
  if (quillmere::isPictureWorkerCall(argc, argv)) return quillmere::runPictureWorker();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
