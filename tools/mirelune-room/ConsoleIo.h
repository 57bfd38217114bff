#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace room {

// Standard input read line by line from the event loop, without blocking it.
class LineReader : public QObject {
    Q_OBJECT

public:
    explicit LineReader(int fd, QObject* parent = nullptr);

Q_SIGNALS:
    // One line, without its line end, decoded as UTF-8.
    void lineRead(const QString& line);
    // The input ended (or failed); a last line without a line end came before it.
    void finished();

private:
    void onReadable();

    int m_fd;
    QSocketNotifier* m_notifier;
    QByteArray m_pending;
};

// SIGINT and SIGTERM turned into a signal of the event loop (through a pipe the
// handler writes to). One instance per process.
class TerminationWatcher : public QObject {
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

Q_SIGNALS:
    void terminationRequested();

private:
    QSocketNotifier* m_notifier = nullptr;
};

// Writes UTF-8 text and a line end to standard output at once.
void printLine(const QString& line);
// Writes "mirelune-room: " + text to standard error.
void printError(const QString& text);

} // namespace room
