// main() of the Qt window tests: one QApplication with the installer's look,
// on the offscreen platform unless the environment names another.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "installer/qt/rk50_qt_window.h"

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  rk50::apply_application_look();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
