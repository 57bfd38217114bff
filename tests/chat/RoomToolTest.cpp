// The headless client as separate processes: one host and two members on loopback,
// driven through standard input and read from standard output.
#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTcpServer>
#include <QUdpSocket>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

class RoomProcess {
public:
    explicit RoomProcess(const QStringList& arguments) {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { m_output += m_process.readAllStandardOutput(); });
        m_process.start(QCoreApplication::applicationDirPath() + u"/mirelune-room"_s, arguments);
    }
    ~RoomProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString output() const { return QString::fromUtf8(m_output); }
    bool shows(const QString& line) {
        return testsupport::waitUntil([&] { return output().contains(line + u'\n'); });
    }
    void type(const QString& line) { m_process.write(line.toUtf8() + '\n'); }
    bool exitsWith(int code) {
        return testsupport::waitUntil([&] { return m_process.state() == QProcess::NotRunning; }) &&
               m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == code;
    }
    QProcess& process() { return m_process; }
    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QByteArray m_output;
};

TEST(RoomTool, HostAndTwoMembersChatOverLoopback) {
    QUdpSocket udp;
    ASSERT_TRUE(udp.bind(QHostAddress::LocalHost, 0));
    QTcpServer tcp;
    ASSERT_TRUE(tcp.listen(QHostAddress::LocalHost, 0));
    const QStringList network{u"--loopback-only"_s, u"--discovery-port"_s, QString::number(udp.localPort()),
                              u"--host-port"_s, QString::number(tcp.serverPort())};
    udp.close();
    tcp.close();
    const QString room = u"夜の部屋"_s;

    RoomProcess host(QStringList{u"host"_s, room, u"--name"_s, u"Host"_s} + network);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            RoomProcess lister(QStringList{u"list"_s} + network);
            return lister.exitsWith(0) && lister.output().startsWith(room + u'\t');
        },
        std::chrono::seconds(10)));

    RoomProcess ann(QStringList{u"join"_s, room, u"--name"_s, u"Ann"_s} + network);
    ASSERT_TRUE(host.shows(u"Ann さんが参加しました"_s));
    auto ben = std::make_unique<RoomProcess>(QStringList{u"join"_s, room, u"--name"_s, u"Ben"_s} + network);
    ASSERT_TRUE(ann.shows(u"Ben さんが参加しました"_s));
    ASSERT_TRUE(host.shows(u"Ben さんが参加しました"_s));

    ann.type(u"こんにちは"_s);
    EXPECT_TRUE(host.shows(u"Ann> こんにちは"_s));
    EXPECT_TRUE(ben->shows(u"Ann> こんにちは"_s));
    EXPECT_TRUE(ann.shows(u"Ann> こんにちは"_s));

    ben->type(u"/w Ann secret"_s);
    EXPECT_TRUE(ann.shows(u"Ben> (secret)"_s));
    EXPECT_TRUE(ben->shows(u"Ben to Ann> secret"_s));

    host.type(u"@S1;ding"_s);
    host.type(u"@clear;"_s);
    for (RoomProcess* copy : {&host, &ann, ben.get()}) {
        EXPECT_TRUE(copy->shows(u"Host> ding"_s));
        EXPECT_TRUE(copy->shows(u"Host さんはログを消去しました"_s));
    }
    EXPECT_FALSE(host.output().contains(u"secret"_s));

    // A member that dies without a goodbye still leaves the room for the others.
    ::kill(static_cast<pid_t>(ben->process().processId()), SIGKILL);
    EXPECT_TRUE(ann.shows(u"Ben さんが退出しました"_s));
    EXPECT_TRUE(host.shows(u"Ben さんが退出しました"_s));
    ben.reset();

    ann.process().closeWriteChannel();
    EXPECT_TRUE(ann.exitsWith(0));
    EXPECT_TRUE(host.shows(u"Ann さんが退出しました"_s));
    host.process().terminate();
    EXPECT_TRUE(host.exitsWith(0));
    // Nothing on standard error in normal use (a sanitizer report would land here).
    EXPECT_EQ(host.errors(), QString());
    EXPECT_EQ(ann.errors(), QString());

    RoomProcess gone(QStringList{u"join"_s, room, u"--name"_s, u"Late"_s} + network);
    EXPECT_TRUE(gone.exitsWith(3));
}

} // namespace
