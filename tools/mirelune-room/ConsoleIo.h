#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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

// Standard output written by a thread of its own, so that a reader that stops (a
// paused terminal, a pager, a full pipe) never holds up the room: lines wait here
// instead. The room client stops taking messages while more than kHighWaterBytes
// wait, and goes on once the writer is below kLowWaterBytes again; so the local
// player falls behind, the relay does not. One instance per process, made by main().
class OutputWriter {
public:
    static constexpr qsizetype kHighWaterBytes = 1 << 20;
    static constexpr qsizetype kLowWaterBytes = 256 << 10;

    explicit OutputWriter(int fd);
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // The writer printLine() uses, or none (then printLine() writes directly).
    static OutputWriter* instance();

    void append(const QByteArray& bytes);
    bool congested() const;
    // Called on the writer's thread when the waiting bytes fall below the low-water
    // mark after having been above the high-water mark; empty to stop.
    void setRelievedCallback(std::function<void()> callback);
    // Waits until everything is written, the reader is gone, or no byte has gone out
    // for `stall`; returns the bytes left unwritten.
    qsizetype finish(std::chrono::milliseconds stall);

private:
    void run();
    // Bytes appended and not written yet (the front of m_waiting up to m_written is).
    qsizetype waitingBytes() const { return m_waiting.size() - m_written; }

    int m_fd;
    qsizetype m_chunkBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QByteArray m_waiting;
    qsizetype m_written = 0;
    bool m_wasCongested = false;
    bool m_stopping = false;
    bool m_broken = false;
    std::function<void()> m_relieved;
    std::thread m_thread;
};

// Writes UTF-8 text and a line end to standard output (through the OutputWriter
// when there is one); each CR LF inside the text is written as a line end.
void printLine(const QString& line);
// Writes "mirelune-room: " + text to standard error.
void printError(const QString& text);

} // namespace room
