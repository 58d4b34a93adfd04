#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// The window tests need a QApplication; they run on the offscreen platform unless told otherwise: no display needed.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
