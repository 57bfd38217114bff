#include "RoomFiles.h"

#include "ConsoleIo.h"
#include "transfer/FileName.h"
#include "transfer/TransferTexts.h"

namespace room {

namespace {
constexpr qint64 kProgressEveryMs = 1000;

std::optional<int> numberAfter(const QString& line, qsizetype at) {
    bool ok = false;
    const int number = line.mid(at).trimmed().toInt(&ok);
    return ok ? std::optional<int>(number) : std::nullopt;
}
} // namespace

RoomFiles::RoomFiles(session::SessionService& service, QString downloads, bool acceptEvery, QObject* parent)
    : QObject(parent), m_engine(service), m_downloads(std::move(downloads)), m_acceptEvery(acceptEvery) {
    m_clock.start();
    connect(&m_engine, &transfer::FileTransfers::notice, this, [](const QString& text) { printLine(text); });
    connect(&m_engine, &transfer::FileTransfers::transferAdded, this, &RoomFiles::onAdded);
    connect(&m_engine, &transfer::FileTransfers::transferChanged, this, &RoomFiles::onChanged);
}

bool RoomFiles::command(const QString& line) {
    if (line.startsWith(QStringLiteral("/send "))) {
        send(line.mid(6).trimmed(), session::kEveryone);
        return true;
    }
    const struct {
        QString prefix;
        void (RoomFiles::*handle)(int);
    } numbered[] = {
        {QStringLiteral("/get "), &RoomFiles::get},
        {QStringLiteral("/no "), nullptr},
        {QStringLiteral("/cancel "), nullptr},
    };
    for (const auto& [prefix, handle] : numbered) {
        if (!line.startsWith(prefix))
            continue;
        const std::optional<int> number = numberAfter(line, prefix.size());
        if (!number || !m_engine.transfer(*number)) {
            printError(QStringLiteral("no transfer numbered ") + line.mid(prefix.size()).trimmed());
            return true;
        }
        if (handle)
            (this->*handle)(*number);
        else if (prefix == u"/no ")
            m_engine.decline(*number);
        else
            m_engine.cancel(*number);
        return true;
    }
    return false;
}

void RoomFiles::send(const QString& path, session::PlayerId to) {
    if (path.isEmpty()) {
        printError(QStringLiteral("usage: /send PATH"));
        return;
    }
    m_engine.offerFile(path, to);
}

void RoomFiles::get(int number) {
    const auto info = m_engine.transfer(number);
    if (!info || !info->incoming || info->state != transfer::TransferInfo::State::Offered) {
        printError(QStringLiteral("transfer %1 is no open offer").arg(number));
        return;
    }
    if (!m_downloads.exists() && !m_downloads.mkpath(QStringLiteral("."))) {
        printError(QStringLiteral("cannot make the downloads folder ") + m_downloads.path());
        return;
    }
    m_engine.accept(number, m_downloads.filePath(transfer::freeFileName(m_downloads, info->fileName)), false);
}

void RoomFiles::onAdded(int number) {
    const auto info = m_engine.transfer(number);
    if (m_acceptEvery && info && info->incoming && info->state == transfer::TransferInfo::State::Offered)
        get(number);
}

void RoomFiles::onChanged(int number) {
    const auto info = m_engine.transfer(number);
    if (!info || info->state != transfer::TransferInfo::State::Running || info->size <= 0)
        return;
    const qint64 now = m_clock.elapsed();
    const auto last = m_lastProgress.constFind(number);
    if (last != m_lastProgress.constEnd() && now - *last < kProgressEveryMs)
        return;
    m_lastProgress.insert(number, now);
    printError(QStringLiteral("progress %1 %2% %3/s")
                   .arg(QString::number(number), QString::number(info->done * 100 / info->size),
                        transfer::texts::size(static_cast<qint64>(info->bytesPerSecond))));
}

} // namespace room
