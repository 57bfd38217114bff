// Rooms on a NATS cluster: three nats-server processes with JetStream on loopback,
// started and killed here, and copies of the service chatting through them.
#include "NatsTestSupport.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <csignal>
#include <iostream>

namespace sessiontest {
namespace {

// Carries clients' connections to a server on a port of its own, until cut() breaks
// them as a lost link or a sleeping laptop does.
class Relay {
public:
    explicit Relay(quint16 server) {
        m_listener.listen(QHostAddress::LocalHost);
        QObject::connect(&m_listener, &QTcpServer::newConnection, &m_listener, [this, server] {
            QTcpSocket* in = m_listener.nextPendingConnection();
            auto* out = new QTcpSocket(in);
            out->connectToHost(QHostAddress::LocalHost, server);
            QObject::connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
            QObject::connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
            QObject::connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::abort);
            m_links.append(in);
        });
    }
    QString url() const { return u"nats://127.0.0.1:%1"_s.arg(m_listener.serverPort()); }
    void cut() {
        for (const QPointer<QTcpSocket>& in : std::exchange(m_links, {}))
            if (in)
                in->abort(), in->deleteLater();
    }

private:
    QTcpServer m_listener;
    QList<QPointer<QTcpSocket>> m_links;
};

TEST_F(NatsRoom, KillingTheStreamLeaderMidChatLosesAndDoublesNothing) {
    NatsCopy akira(cluster.urls()), ben(cluster.urls());
    ASSERT_NE(akira.hostAs(u"アキラ"_s), 0);
    ASSERT_NE(ben.joinAs(u"ベン"_s), 0);
    QStringList expected;
    QElapsedTimer sinceKill;
    int killed = -1;
    for (int i = 1; i <= 30; ++i) {
        if (i == 11) {
            ASSERT_TRUE(waitUntil([&] { return ben.log.size() == 10; }));
            ASSERT_GE(killed = cluster.killLeader(ben.roomId()), 0);
            sinceKill.start();
        }
        ASSERT_TRUE(akira.say(kEveryone, QString::number(i)).ok());
        expected.append(u"pub %1>0 %2"_s.arg(akira.id).arg(i));
    }
    EXPECT_TRUE(waitUntil([&] { return ben.log.size() >= expected.size(); },
                          20s)); // a new leader takes about 5 s, its consumer a moment more
    std::cout << "[ measure  ] every line in " << sinceKill.elapsed() << " ms after the leader was killed\n";
    testsupport::spinFor(1s);
    EXPECT_EQ(ben.log, expected);
    EXPECT_FALSE(akira.log.join(u'\n').contains(u"undelivered"_s));

    // The killed server comes back, catches up with its stream, and the room goes on.
    cluster.start(killed);
    ASSERT_TRUE(waitUntil([&] { return NatsClient().connect({cluster.url(killed)}).ok(); }, 20s));
    ASSERT_TRUE(akira.say(kEveryone, u"戻った"_s).ok());
    EXPECT_TRUE(logShows(ben, u"pub %1>0 戻った"_s.arg(akira.id)));
}

// Everything the cluster stores of a room: its records, and what the members bucket
// holds (its keys are in the subjects), each as subject and body.
QByteArray storedOnTheCluster(const QString& servers, const QByteArray& roomId) {
    NatsClient client;
    if (!client.connect(*parseNatsServers(servers)).ok())
        return {};
    QByteArray stored;
    for (const QByteArray& stream : {natsroom::streamName(roomId), QByteArray("KV_mirelune_members")}) {
        jsStreamInfo* info = nullptr;
        if (js_GetStreamInfo(&info, client.jetStream(), stream.constData(), nullptr, nullptr) != NATS_OK)
            return {};
        const uint64_t last = info->State.LastSeq;
        jsStreamInfo_Destroy(info);
        for (uint64_t seq = 1; seq <= last; ++seq) {
            natsMsg* msg = nullptr;
            if (js_GetMsg(&msg, client.jetStream(), stream.constData(), seq, nullptr, nullptr) == NATS_OK) {
                stored += QByteArray(natsMsg_GetSubject(msg)) + '\n' +
                          QByteArray(natsMsg_GetData(msg), natsMsg_GetDataLength(msg)) + '\n';
                natsMsg_Destroy(msg);
            }
        }
    }
    return stored;
}

// A room with a password: the cluster stores its lines and names sealed, a wrong
// password is told as in a hosted room, and what a copy without it stores is not shown.
TEST_F(NatsRoom, APasswordRoomKeepsItsLinesAndNamesFromTheCluster) {
    NatsCopy akira(cluster.url(0)), ben(cluster.url(1)), eve(cluster.url(2));
    ASSERT_NE(akira.hostAs(u"アキラ"_s, u"合言葉"_s), 0);
    EXPECT_EQ(errorCode(eve.join(u"room"_s, u"ちがう"_s)), kErrorAccessDenied);
    const Status joined = ben.join(u"room"_s, u"合言葉"_s);
    ASSERT_TRUE(joined.ok()) << joined.error().description.toStdString();
    ASSERT_NE(ben.createPlayer(u"ベン"_s), 0);
    ASSERT_TRUE(akira.say(kEveryone, u"秘密の話"_s).ok());
    ASSERT_TRUE(ben.say(akira.id, u"内緒の話"_s).ok());
    EXPECT_TRUE(logShows(ben, u"pub %1>0 秘密の話"_s.arg(akira.id)));
    EXPECT_TRUE(logShows(akira, u"priv %1>%2 内緒の話"_s.arg(ben.id).arg(akira.id)));

    const QByteArray roomId = ben.roomId();
    // Eve knows the room's subjects but not its password: a line she stores is nobody's.
    NatsClient raw;
    ASSERT_TRUE(raw.connect({cluster.url(2)}).ok());
    natsMsg* forged = nullptr;
    const QByteArray subject = natsroom::subject(roomId, "line");
    ASSERT_EQ(natsMsg_Create(&forged, subject.constData(), nullptr, "\0\0\0\0", 4), NATS_OK);
    natsMsgHeader_Set(forged, "Mirelune-From", QByteArray::number(akira.id).constData());
    natsMsgHeader_Set(forged, "Mirelune-To", "0");
    natsMsgHeader_Set(forged, "Mirelune-Seq", "99");
    jsPubAck* ack = nullptr;
    ASSERT_EQ(js_PublishMsg(&ack, raw.jetStream(), forged, nullptr, nullptr), NATS_OK);
    jsPubAck_Destroy(ack);
    natsMsg_Destroy(forged);
    ASSERT_TRUE(akira.say(kEveryone, u"後の話"_s).ok());
    EXPECT_TRUE(logShows(ben, u"pub %1>0 後の話"_s.arg(akira.id)));
    EXPECT_EQ(ben.log.filter(u"pub "_s).size(), 2) << ben.log.join(u'\n').toStdString();

    const QByteArray stored = storedOnTheCluster(cluster.url(0), roomId);
    ASSERT_FALSE(stored.isEmpty());
    for (const QString& secret : {u"秘密の話"_s, u"内緒の話"_s, u"アキラ"_s, u"ベン"_s, u"合言葉"_s})
        EXPECT_FALSE(stored.contains(secret.toUtf8())) << secret.toStdString();
}

TEST_F(NatsRoom, ACopyThatVanishesIsSeenLeavingWithinTenSeconds) {
    NatsCopy akira(cluster.url(0));
    ASSERT_NE(akira.hostAs(u"アキラ"_s), 0);
    ChildProcess ben(QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
                     {u"join"_s, u"room"_s, u"--name"_s, u"ベン"_s, u"--nats"_s, cluster.url(1)});
    ASSERT_TRUE(waitUntil([&] { return akira.log.size() == 1 && akira.log[0].endsWith(u" ベン"_s); }, 10s));
    const PlayerId benId = akira.log[0].section(u' ', 1, 1).toInt();
    QElapsedTimer gone;
    gone.start();
    ben.killHard();
    EXPECT_TRUE(waitUntil([&] { return akira.log.contains(u"leave %1"_s.arg(benId)); }, 12s));
    EXPECT_LE(gone.elapsed(), 11000);
    std::cout << "[ measure  ] a killed member seen leaving after " << gone.elapsed() << " ms\n";
}

// A member whose link broke while more was said than the room keeps is told, once and
// where, how much it missed, knows who joined meanwhile, and goes on with what is left.
TEST_F(NatsRoom, AMemberAwayLongerThanTheRoomKeepsIsToldWhatItMissed) {
    NatsCopy akira(cluster.url(0), 5), chika(cluster.url(2));
    ASSERT_NE(akira.hostAs(u"アキラ"_s), 0);
    Relay link(cluster.port(1));
    const auto member = [&](const QString& name) {
        return std::make_unique<ChildProcess>(
            QCoreApplication::applicationDirPath() + u"/mirelune-room"_s,
            QStringList{u"join"_s, u"room"_s, u"--name"_s, name, u"--nats"_s, link.url()});
    };
    const auto ben = member(u"ベン"_s), eve = member(u"イブ"_s);
    ASSERT_TRUE(waitUntil([&] { return akira.log.size() == 2; }, 10s));
    ASSERT_NE(chika.joinAs(u"チカ"_s), 0);
    ASSERT_TRUE(akira.say(kEveryone, u"前"_s).ok());
    ASSERT_TRUE(ben->shows(u"アキラ> 前"_s) && eve->shows(u"アキラ> 前"_s));
    // Asleep, then their links gone: they reconnect only once they wake.
    for (const auto* asleep : {ben.get(), eve.get()})
        ::kill(static_cast<pid_t>(asleep->processId()), SIGSTOP);
    link.cut();
    NatsCopy dan(cluster.url(2));
    ASSERT_NE(dan.joinAs(u"ダン"_s), 0);
    for (int i = 1; i <= 12; ++i)
        ASSERT_TRUE(akira.say(kEveryone, u"途中 %1"_s.arg(i)).ok());
    ASSERT_TRUE(logShows(chika, u"pub %1>0 途中 12"_s.arg(akira.id)));
    ASSERT_TRUE(dan.say(kEveryone, u"やあ"_s).ok());
    ASSERT_TRUE(logShows(chika, u"pub %1>0 やあ"_s.arg(dan.id)));
    ::kill(static_cast<pid_t>(ben->processId()), SIGCONT);
    ASSERT_TRUE(ben->shows(u"ダン> やあ"_s, 15s)) << ben->lines().join(u'\n').toStdString();
    testsupport::spinFor(500ms);
    const QStringList lines = ben->lines();
    EXPECT_EQ(lines.mid(lines.indexOf(u"アキラ> 前"_s) + 1),
              (QStringList{u"（ここで 9 件の発言や通知を受け取れませんでした）"_s, u"ダン さんが参加しました"_s,
                           u"アキラ> 途中 9"_s, u"アキラ> 途中 10"_s, u"アキラ> 途中 11"_s, u"アキラ> 途中 12"_s,
                           u"ダン> やあ"_s}));

    // Away long enough to be taken for gone, its own leave lost too: it is out.
    ASSERT_TRUE(waitUntil([&] { return akira.log.filter(u"leave "_s).size() == 1; }, 12s));
    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(akira.say(kEveryone, u"後 %1"_s.arg(i)).ok());
    ASSERT_TRUE(logShows(chika, u"pub %1>0 後 5"_s.arg(akira.id)));
    ::kill(static_cast<pid_t>(eve->processId()), SIGCONT);
    EXPECT_TRUE(eve->exitsWith(1, 15s));
    EXPECT_FALSE(eve->lines().contains(u"アキラ> 後 5"_s));
}

} // namespace
} // namespace sessiontest
