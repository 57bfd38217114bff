// The main of every test executable: the Qt application object must exist before
// any test touches sockets, timers or widgets.
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

#ifdef MIRELUNE_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

namespace {

QtMessageHandler g_nextHandler = nullptr;

// Qt tells of an object used from a thread it does not belong to (a timer stopped,
// a child made) only by a warning, and goes on as if it had worked; under test that
// is a failure of the test it happened in.
void failOnObjectsUsedAcrossThreads(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        (message.contains(QLatin1String("another thread")) || message.contains(QLatin1String("different thread")))) {
        ADD_FAILURE() << "Qt: " << message.toStdString();
    }
    g_nextHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef MIRELUNE_TEST_GUI
    // Offscreen at 96 dpi, also when the build lists the tests without their environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    if (qEnvironmentVariableIsEmpty("QT_FONT_DPI"))
        qputenv("QT_FONT_DPI", QByteArrayLiteral("96"));
    // No window under test tells the user's desktop anything: only a bus a test
    // starts itself is ever reached.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/nonexistent/mirelune-test-bus"));
#endif
    // Qt wants a private runtime folder, also when the build lists the tests.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const QByteArray runtime = QDir::tempPath().toUtf8() + "/mirelune-test-runtime-" + QByteArray::number(getuid());
        QDir().mkpath(QString::fromUtf8(runtime));
        QFile::setPermissions(QString::fromUtf8(runtime),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime);
    }
    // Keys and settings that copies under test keep in the configuration folder (the
    // device key of every room connection) stay out of the user's own, for the copies
    // the tests start as well.
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        const QByteArray config = QDir::tempPath().toUtf8() + "/mirelune-test-config-" + QByteArray::number(getuid());
        QDir().mkpath(QString::fromUtf8(config));
        QFile::setPermissions(QString::fromUtf8(config),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("XDG_CONFIG_HOME", config);
    }
    g_nextHandler = qInstallMessageHandler(failOnObjectsUsedAcrossThreads);
    TestApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    // A child that played sounds through the sound server (see SoundTest.cpp) ends here:
    // the audio library's own teardown after a played stream now and then crashes
    // after the test has run and passed, which its parent would take for the test's
    // failure. What the child tested is decided above, and reported.
    if (::testing::GTEST_FLAG(filter).rfind("SoundOutputChild.", 0) == 0) {
        fflush(stdout);
        fflush(stderr);
        _exit(result);
    }
    return result;
}
