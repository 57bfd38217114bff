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
#ifdef MIRELUNE_TEST_GUI
    // Widget tests run offscreen at 96 dpi, also when the build lists them (test
    // discovery runs without the test environment).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    }
    if (qEnvironmentVariableIsEmpty("QT_FONT_DPI")) {
        qputenv("QT_FONT_DPI", QByteArrayLiteral("96"));
    }
#endif
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
