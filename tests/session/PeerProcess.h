#pragma once

#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <chrono>

namespace sessiontest {

// A session_peer process: start it, read the lines it reports, send it commands.
class PeerProcess {
public:
    static QString program() { return QCoreApplication::applicationDirPath() + QStringLiteral("/session_peer"); }

    explicit PeerProcess(const QString& executable, const QStringList& arguments) {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            m_buffer.append(m_process.readAllStandardOutput());
            qsizetype newline;
            while ((newline = m_buffer.indexOf('\n')) >= 0) {
                lines.append(QString::fromUtf8(m_buffer.left(newline)));
                m_buffer.remove(0, newline + 1);
            }
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(executable, arguments);
    }
    ~PeerProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // The first line starting with `prefix`, once it has come.
    QString waitForLine(const QString& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(8)) {
        QString found;
        testsupport::waitUntil(
            [&] {
                for (const QString& line : std::as_const(lines)) {
                    if (line.startsWith(prefix)) {
                        found = line;
                        return true;
                    }
                }
                return m_process.state() == QProcess::NotRunning && m_buffer.isEmpty() && !m_process.bytesAvailable();
            },
            timeout);
        return found;
    }
    void command(const QString& line) { m_process.write(line.toUtf8() + '\n'); }
    qint64 processId() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    void killHard() {
        m_process.kill(); // SIGKILL: no goodbye, the kernel closes the sockets
        m_process.waitForFinished(3000);
    }

    QStringList lines;

private:
    QProcess m_process;
    QByteArray m_buffer;
};

} // namespace sessiontest
