// main() for GoogleTest programs whose code under test needs a Qt event loop (the POP3
// client waits in local event loops): one QCoreApplication for the whole program.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
