#include <gtest/gtest.h>

#include <QApplication>

// The window tests need a QApplication; they run without a display, on Qt's offscreen platform.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
