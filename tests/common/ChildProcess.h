#pragma once

#include "common/TestSupport.h"

#include <QProcess>
#include <QStringList>
#include <chrono>

namespace testsupport {

// A program the test starts (the headless client, or `ip` running it in a namespace):
// its standard output read line by line, lines typed into its standard input. Killed,
// if still running, when it goes.
class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& arguments) {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            m_pending += m_process.readAllStandardOutput();
            qsizetype newline;
            while ((newline = m_pending.indexOf('\n')) >= 0) {
                m_lines.append(QString::fromUtf8(m_pending.left(newline)));
                m_pending.remove(0, newline + 1);
            }
        });
        m_process.start(program, arguments);
    }
    ~ChildProcess() { killHard(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    const QStringList& lines() const { return m_lines; }
    // Whether the whole line `line` has come (or comes within `timeout`).
    bool shows(const QString& line, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        return waitUntil([&] { return m_lines.contains(line); }, timeout);
    }
    // The line is in the pipe when this returns, even while the child stands still.
    void type(const QString& line) {
        m_process.write(line.toUtf8() + '\n');
        m_process.waitForBytesWritten(1000);
    }
    void endInput() { m_process.closeWriteChannel(); }
    // SIGKILL: no goodbye, the kernel closes the sockets.
    void killHard() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool exitsWith(int code, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeout) &&
               m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == code;
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 processId() const { return m_process.processId(); }
    // Everything written to standard error so far.
    QString errors() { return m_errors += QString::fromUtf8(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
    QString m_errors;
};

} // namespace testsupport
