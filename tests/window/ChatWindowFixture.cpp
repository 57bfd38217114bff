#include "ChatWindowFixture.h"

#include "common/TestSupport.h"
#include "setup/basGlobal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTest>

using namespace Qt::StringLiterals;

void ChatWindowTest::SetUp() {
    ASSERT_TRUE(m_dir.isValid());
    m_programFolder = m_dir.filePath(u"program"_s);
    m_workFolder = m_dir.filePath(u"work"_s);
    // Table tests set up again inside one test: start from empty folders each time.
    QDir(m_programFolder).removeRecursively();
    QDir(m_workFolder).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(m_programFolder) && QDir().mkpath(m_workFolder));
    m_previousCurrent = QDir::currentPath();
    QDir::setCurrent(m_workFolder);

    basGlobal::settingsPath = m_dir.filePath(u"Mirelune.ini"_s);
    QFile::remove(basGlobal::settingsPath);
    m_endedWith.reset();
    basGlobal::endProgramHook = [this](int code) { m_endedWith = code; };
    auto service = std::make_unique<testsupport::FakeSessionService>();
    m_service = service.get();
    m_service->players = {{1, u"太郎"_s}, {2, u"花子"_s}};
    basGlobal::sessionService = std::move(service);
    basGlobal::RegisterEventReceiver();
    basGlobal::localPlayerId = *m_service->createLocalPlayer(u"太郎"_s, u"Player"_s, basGlobal::eventHandle, 0);
    basGlobal::localPlayerName = u"太郎"_s;
    basGlobal::roomName = u"MyChatRoom"_s;
}

void ChatWindowTest::TearDown() {
    delete m_window;
    basGlobal::ResetSessionState();
    QDir::setCurrent(m_previousCurrent);
}

void ChatWindowTest::writeSettings(const QByteArray& lines) {
    testsupport::writeAll(basGlobal::settingsPath, lines);
}

QByteArray ChatWindowTest::settingsBytes() const {
    return QFile::exists(basGlobal::settingsPath) ? testsupport::readAll(basGlobal::settingsPath) : QByteArray();
}

void ChatWindowTest::addSounds(const QStringList& names) {
    QDir().mkpath(m_programFolder + u"/Sounds"_s);
    for (const QString& name : names) {
        testsupport::writeAll(m_programFolder + u"/Sounds/"_s + name, QByteArrayLiteral("RIFF"));
    }
}

QStringList ChatWindowTest::savedLogs() const {
    return QDir(m_workFolder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

frmMain& ChatWindowTest::openWindow() {
    m_window = new frmMain;
    m_window->setProgramFolder(m_programFolder);
    m_window->Form_Load();
    m_window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(m_window.data()));
    return *m_window;
}

bool ChatWindowTest::closeWindow(const QStringList& answers, QList<testsupport::SeenBox>* seen) {
    testsupport::BoxAnswerer answerer(answers);
    const bool closed = m_window->close();
    if (seen != nullptr) {
        *seen = answerer.boxes;
    }
    return closed;
}
