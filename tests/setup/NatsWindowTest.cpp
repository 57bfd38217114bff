// A room on a NATS cluster with the program's own window in it: the wizard joins the room
// as a user does, beside two copies of the service on other servers of the cluster.
#include "common/BoxAnswerer.h"
#include "session/NatsTestSupport.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/EntryBox.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <iostream>

namespace sessiontest {
namespace {

class NatsWindowRoom : public NatsRoom {
protected:
    void SetUp() override {
        NatsRoom::SetUp();
        basGlobal::settingsPath = m_dir.filePath(u"Mirelune.ini"_s);
        testsupport::writeAll(basGlobal::settingsPath, "[General]\r\nShowGreet=1\r\n");
        basGlobal::endProgramHook = [](int) {};
        basGlobal::serviceFactory = [] { return std::make_unique<NetworkSessionService>(loopbackConfig()); };
    }
    void TearDown() override {
        delete m_window;
        basGlobal::ResetSessionState();
    }
    // Joins the room "room" through the wizard on `servers` as `name`: the chat window.
    frmMain* joinInTheWindow(const QString& servers, const QString& name) {
        testsupport::BoxAnswerer answerer;
        answerer.address = servers;
        frmSet wizard;
        frmMain::followWizard(wizard);
        wizard.Form_Load();
        wizard.lstConnections->setCurrentRow(2);
        wizard.txtYourName->setText(name);
        wizard.cmdNext_Click();
        wizard.lstSessions->setCurrentRow(0);
        wizard.cmdJoin->click();
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* chat = qobject_cast<frmMain*>(window); chat != nullptr && chat->isVisible())
                m_window = chat;
        return m_window;
    }
    bool windowShows(const QString& lines) const {
        return waitUntil([&] { return m_window->txtLog->toPlainText().trimmed().endsWith(lines); });
    }

    QTemporaryDir m_dir;
    QPointer<frmMain> m_window;
};

TEST_F(NatsWindowRoom, MembersOnDifferentServersChatAsInAHostedRoom) {
    NatsCopy akira(cluster.url(0)), ben(cluster.url(1));
    ASSERT_NE(akira.hostAs(u"アキラ"_s), 0);
    QElapsedTimer joining;
    joining.start();
    ASSERT_NE(ben.joinAs(u"ベン"_s), 0);
    const qint64 joinMs = joining.elapsed();
    EXPECT_TRUE(logShows(akira, u"join %1 ベン"_s.arg(ben.id)));

    // A look-alike of a name in the room is refused, as in a hosted room.
    NatsCopy other(cluster.url(1));
    ASSERT_TRUE(other.join(u"room"_s).ok());
    EXPECT_EQ(errorCode(other.service->createLocalPlayer(u"ｱｷﾗ"_s, {}, other.handle, 0)), kErrorInvalidName);

    // What the window is given when it comes: the public lines as they were shown, not
    // the private one, not what "@clear" took out, the commands taken off, nothing run.
    ASSERT_TRUE(akira.say(kEveryone, u"こんにちは"_s).ok());
    ASSERT_TRUE(ben.say(kEveryone, u"消える話"_s).ok());
    ASSERT_TRUE(ben.say(akira.id, u"ないしょ"_s).ok());
    ASSERT_TRUE(logShows(akira, u"priv %1>%2 ないしょ"_s.arg(ben.id).arg(akira.id)));
    ASSERT_TRUE(akira.say(kEveryone, u"@clearベン;"_s).ok());
    ASSERT_TRUE(akira.say(kEveryone, u"@S1;鳴る話"_s).ok());
    ASSERT_TRUE(logShows(ben, u"pub %1>0 @S1;鳴る話"_s.arg(akira.id)));
    ASSERT_NE(joinInTheWindow(cluster.url(2), u"チカ"_s), nullptr);
    const PlayerId chika = basGlobal::localPlayerId;
    EXPECT_TRUE(windowShows(u"―――― 参加する前の発言 ――――\nアキラ> こんにちは\nアキラ> 鳴る話"_s))
        << m_window->txtLog->toPlainText().toStdString();
    EXPECT_TRUE(logShows(akira, u"join %1 チカ"_s.arg(chika)));
    EXPECT_TRUE(logShows(ben, u"join %1 チカ"_s.arg(chika)));
    QStringList roster;
    const auto players = basGlobal::sessionService->listPlayers();
    ASSERT_TRUE(players.ok());
    for (const PlayerEntry& entry : players->items())
        roster.append(entry.name);
    EXPECT_EQ(roster, (QStringList{u"アキラ"_s, u"ベン"_s, u"チカ"_s}));

    // Public and private lines both ways, and a script that runs in the window.
    ASSERT_TRUE(ben.say(chika, u"内緒の話"_s).ok());
    EXPECT_TRUE(windowShows(u"ベン> (内緒の話)"_s));
    m_window->txtEntry->setPlainText(u"どうも"_s);
    m_window->cmdSend_Click();
    EXPECT_TRUE(logShows(akira, u"pub %1>0 どうも"_s.arg(chika)));
    EXPECT_TRUE(logShows(ben, u"pub %1>0 どうも"_s.arg(chika)));
    ASSERT_TRUE(akira.say(kEveryone, u"@clearベン;"_s).ok());
    EXPECT_TRUE(windowShows(u"チカ> どうも\nベン さんはログを消去しました"_s))
        << m_window->txtLog->toPlainText().toStdString();
    EXPECT_FALSE(akira.log.join(u'\n').contains(u"内緒の話"_s));

    // Comings and goings in the window, and the window's own going.
    NatsCopy dan(cluster.url(0));
    ASSERT_NE(dan.joinAs(u"ダン"_s), 0);
    EXPECT_TRUE(windowShows(u"ダン さんが参加しました"_s));
    dan.service->close();
    EXPECT_TRUE(windowShows(u"ダン さんが退出しました"_s));
    basGlobal::CloseSessionService();
    EXPECT_TRUE(logShows(akira, u"leave %1"_s.arg(chika)));
    EXPECT_TRUE(logShows(ben, u"leave %1"_s.arg(chika)));

    // What a line takes from one member to another through three servers.
    std::vector<qint64> micros;
    for (int i = 0; i < 50; ++i) {
        const qsizetype before = ben.log.size();
        QElapsedTimer line;
        line.start();
        ASSERT_TRUE(akira.say(kEveryone, u"計測 %1"_s.arg(i)).ok());
        ASSERT_TRUE(waitUntil([&] { return ben.log.size() > before; }));
        micros.push_back(line.nsecsElapsed() / 1000);
    }
    std::sort(micros.begin(), micros.end());
    std::cout << "[ measure  ] join " << joinMs << " ms; line latency median " << micros[25] << " us, max "
              << micros.back() << " us\n";
}

} // namespace
} // namespace sessiontest
