// The main of every test executable: the Qt application object must exist before
// any test touches sockets, timers or widgets.
#include <gtest/gtest.h>

#ifdef MIRELUNE_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
