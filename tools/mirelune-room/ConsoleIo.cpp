#include "ConsoleIo.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace room {

namespace {
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

LineReader::LineReader(int fd, QObject* parent)
    : QObject(parent), m_fd(fd), m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
    connect(m_notifier, &QSocketNotifier::activated, this, &LineReader::onReadable);
}

void LineReader::onReadable() {
    char buffer[4096];
    const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (count <= 0) {
        m_notifier->setEnabled(false);
        if (!m_pending.isEmpty()) {
            Q_EMIT lineRead(QString::fromUtf8(m_pending));
            m_pending.clear();
        }
        Q_EMIT finished();
        return;
    }
    m_pending.append(buffer, count);
    qsizetype end = 0;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        Q_EMIT lineRead(QString::fromUtf8(line));
    }
}

TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char drain[16];
        while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
        }
        Q_EMIT terminationRequested();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that went away must not kill us before we leave the room.
    std::signal(SIGPIPE, SIG_IGN);
}

TerminationWatcher::~TerminationWatcher() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    for (int& fd : g_signalPipe) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

namespace {
OutputWriter* g_output = nullptr;
// A pipe takes PIPE_BUF bytes without blocking once poll() says it is writable, so
// the writer's thread can always see a stop request within one poll interval. A
// file never keeps a write waiting on a reader and takes larger pieces.
constexpr qsizetype kPipeChunkBytes = PIPE_BUF;
constexpr qsizetype kFileChunkBytes = 64 * 1024;
constexpr int kPollIntervalMs = 100;
// Woken by a line after it had written everything, the writer gathers what else comes
// for this long before it writes: a busy room then costs a wake-up and a write per
// millisecond, not per line.
constexpr auto kGatherTime = std::chrono::milliseconds(1);

bool isRegularFile(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
} // namespace

OutputWriter::OutputWriter(int fd) : m_fd(fd), m_chunkBytes(isRegularFile(fd) ? kFileChunkBytes : kPipeChunkBytes) {
    g_output = this;
    m_thread = std::thread([this] { run(); });
}

OutputWriter::~OutputWriter() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_relieved = nullptr;
    }
    m_changed.notify_all();
    m_thread.join();
    if (g_output == this) {
        g_output = nullptr;
    }
}

OutputWriter* OutputWriter::instance() {
    return g_output;
}

void OutputWriter::append(const QByteArray& bytes) {
    bool wasIdle = false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_broken) {
            return;
        }
        wasIdle = waitingBytes() == 0;
        m_waiting.append(bytes);
        m_wasCongested = m_wasCongested || waitingBytes() > kHighWaterBytes;
    }
    // The writer sleeps only while nothing waits.
    if (wasIdle) {
        m_changed.notify_all();
    }
}

bool OutputWriter::congested() const {
    const std::lock_guard lock(m_mutex);
    return waitingBytes() > kHighWaterBytes;
}

void OutputWriter::setRelievedCallback(std::function<void()> callback) {
    const std::lock_guard lock(m_mutex);
    m_relieved = std::move(callback);
}

qsizetype OutputWriter::finish(std::chrono::milliseconds stall) {
    std::unique_lock lock(m_mutex);
    qsizetype last = -1;
    while (waitingBytes() > 0 && !m_broken && last != waitingBytes()) {
        last = waitingBytes();
        m_changed.wait_for(lock, stall, [&] { return waitingBytes() == 0 || m_broken || waitingBytes() != last; });
    }
    return m_broken ? 0 : waitingBytes();
}

void OutputWriter::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (waitingBytes() == 0 || m_broken) {
            m_changed.wait(lock, [&] { return m_stopping || (waitingBytes() > 0 && !m_broken); });
            m_changed.wait_for(lock, kGatherTime, [&] { return m_stopping; });
        }
        if (m_stopping) {
            return;
        }
        lock.unlock();
        pollfd ready{m_fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, kPollIntervalMs);
        lock.lock();
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
            continue;
        }
        const QByteArray chunk = m_waiting.sliced(m_written, std::min(waitingBytes(), m_chunkBytes));
        lock.unlock();
        const ssize_t written = polled < 0 ? -1 : ::write(m_fd, chunk.constData(), static_cast<size_t>(chunk.size()));
        const int error = errno;
        lock.lock();
        if (written < 0 && (error == EINTR || error == EAGAIN)) {
            continue;
        }
        if (written <= 0) {
            // The reader is gone (EPIPE) or the descriptor is unusable: nobody can read
            // what waits, so it is dropped and the room carries on.
            m_broken = true;
            m_waiting.clear();
            m_written = 0;
        } else {
            // What is written goes from the front only now and then, not after every
            // write: moving a megabyte down for each piece would cost more than writing.
            m_written += written;
            if (m_written == m_waiting.size()) {
                m_waiting.clear();
                m_written = 0;
            } else if (m_written >= kFileChunkBytes && m_written * 2 >= m_waiting.size()) {
                m_waiting.remove(0, m_written);
                m_written = 0;
            }
        }
        if (m_wasCongested && waitingBytes() < kLowWaterBytes) {
            m_wasCongested = false;
            if (m_relieved) {
                m_relieved();
            }
        }
        m_changed.notify_all();
    }
}

void printLine(const QString& line) {
    // A message of several lines is several lines of output.
    QByteArray bytes = line.toUtf8();
    if (bytes.contains('\r')) {
        bytes.replace("\r\n", "\n");
    }
    bytes.append('\n');
    if (g_output) {
        g_output->append(bytes);
        return;
    }
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void printError(const QString& text) {
    const QByteArray bytes = QByteArrayLiteral("mirelune-room: ") + text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace room
