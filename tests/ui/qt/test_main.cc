#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// One QApplication for every test, on the offscreen platform unless the environment names
// another (ctest sets it; a bare run of the binary, or its test listing, gets it here).
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
