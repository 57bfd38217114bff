// The sending side of FileTransfers: hashing, the offer, and chunks within the credit.

#include "transfer/FileTransfers.h"
#include "transfer/TransferLogging.h"
#include "transfer/TransferState.h"
#include "transfer/TransferTexts.h"

#include <QFileInfo>
#include <QRunnable>

namespace transfer {

namespace {
constexpr qint64 kHashBlockBytes = 1024 * 1024;
} // namespace

std::optional<int> FileTransfers::offerFile(const QString& path, session::PlayerId to) {
    if (!m_service.carriesFiles()) {
        Q_EMIT notice(texts::noFilesHere());
        return std::nullopt;
    }
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        Q_EMIT notice(texts::cannotRead(path, QStringLiteral("ファイルがないか、読む権限がありません。")));
        return std::nullopt;
    }
    auto out = std::make_shared<Outgoing>();
    out->number = m_nextNumber++;
    out->to = to;
    out->toName = out->toRoom() ? texts::roomName() : texts::memberName(nameOf(to));
    out->path = info.absoluteFilePath();
    out->fileName = info.fileName();
    out->transferId = m_nextTransferId++;
    out->size = info.size();
    out->message = texts::hashing(out->fileName);
    m_outgoing.append(out);
    Q_EMIT transferAdded(out->number);

    // Hashing a large file takes seconds: it runs on a pool thread and reports back
    // through the event loop; the engine waits for it before it goes away.
    const int number = out->number;
    const QString filePath = out->path;
    const auto stopping = m_stopping;
    m_hashers.start([this, number, filePath, stopping] {
        QFile file(filePath);
        QString error;
        QString hex;
        qint64 size = 0;
        if (!file.open(QIODevice::ReadOnly)) {
            error = file.errorString();
        } else {
            crypto_generichash_state state;
            crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
            QByteArray block;
            while (!file.atEnd() && !stopping->load()) {
                block = file.read(kHashBlockBytes);
                if (block.isEmpty() && file.error() != QFileDevice::NoError) {
                    error = file.errorString();
                    break;
                }
                crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(block.constData()),
                                          static_cast<unsigned long long>(block.size()));
                size += block.size();
            }
            unsigned char digest[crypto_generichash_BYTES];
            crypto_generichash_final(&state, digest, sizeof digest);
            hex = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());
        }
        if (stopping->load())
            return;
        QMetaObject::invokeMethod(
            this, [this, number, hex, size, error] { onHashed(number, hex, size, error); }, Qt::QueuedConnection);
    });
    return out->number;
}

void FileTransfers::onHashed(int number, QString hash, qint64 size, QString error) {
    Outgoing* out = outgoingByNumber(number);
    if (!out || !out->active())
        return;
    if (!error.isEmpty()) {
        failOutgoing(*out, TransferInfo::State::Failed, texts::cannotRead(out->path, error), std::nullopt);
        return;
    }
    out->hash = hash;
    out->size = size; // what was hashed is what is offered
    startOutgoingQueued();
}

void FileTransfers::startOutgoingQueued() {
    for (const auto& out : std::as_const(m_outgoing)) {
        if (out->state != TransferInfo::State::Waiting || out->hash.isEmpty())
            continue;
        int busy = 0;
        for (const auto& other : std::as_const(m_outgoing))
            busy += (other->to == out->to && other->offered && other->active()) ? 1 : 0;
        if (busy >= kMaxRunningPerMember) {
            if (out->message != texts::waitingForSlot()) {
                out->message = texts::waitingForSlot();
                changed(out->number, true);
            }
            continue;
        }
        sendOffer(*out);
    }
}

void FileTransfers::sendOffer(Outgoing& out) {
    const session::Status sent =
        m_service.send(m_local, out.to, encodeOffer(Offer{out.transferId, out.size, out.hash, out.fileName}));
    if (!sent) {
        failOutgoing(out, TransferInfo::State::Failed, texts::failed(out.fileName, sent.error().description),
                     std::nullopt);
        return;
    }
    out.offered = true;
    out.state = TransferInfo::State::Offered;
    out.message.clear();
    if (out.toRoom()) {
        if (const auto players = m_service.listPlayers())
            for (const session::PlayerEntry& player : players->items())
                if (player.id != m_local)
                    out.receivers.insert(player.id, Receiver{});
    } else {
        out.receivers.insert(out.to, Receiver{});
    }
    Q_EMIT notice(texts::youOffered(out.toName, out.fileName, out.size));
    changed(out.number, true);
    if (out.receivers.isEmpty())
        failOutgoing(out, TransferInfo::State::Declined, texts::declinedBy(out.toName, out.fileName), std::nullopt);
}

void FileTransfers::onWant(session::PlayerId from, const Want& want) {
    Outgoing* out = outgoingById(want.transferId);
    if (!out || !out->active() || !out->offered || !out->receivers.contains(from)) {
        answerUnknown(from, want.transferId, CancelSide::Sender);
        return;
    }
    Receiver& receiver = out->receivers[from];
    if (receiver.phase == Receiver::Phase::Done || receiver.phase == Receiver::Phase::Ended) {
        answerUnknown(from, want.transferId, CancelSide::Sender);
        return;
    }
    const auto size = static_cast<quint64>(out->size);
    if (want.have > size || want.upTo < want.have) {
        qCDebug(lcTransfer) << "ignored a Want out of the file's bounds from" << from;
        return;
    }
    if (receiver.phase == Receiver::Phase::Offered) {
        if (!out->file) {
            out->file = std::make_unique<QFile>(out->path);
            if (!out->file->open(QIODevice::ReadOnly)) {
                failOutgoing(*out, TransferInfo::State::Failed,
                             texts::failed(out->fileName, texts::cannotRead(out->path, out->file->errorString())),
                             CancelReason::Error);
                return;
            }
        }
        receiver.phase = Receiver::Phase::Running;
        out->state = TransferInfo::State::Running;
        changed(out->number, true);
    }
    receiver.lastWantAt = m_clock.elapsed();
    receiver.have = static_cast<qint64>(want.have);
    const auto upTo = static_cast<qint64>(std::min(want.upTo, size));
    if (want.restart) {
        receiver.next = receiver.have;
        receiver.upTo = upTo;
    } else {
        receiver.next = std::max(receiver.next, receiver.have);
        receiver.upTo = std::max(receiver.upTo, upTo);
    }
    pumpOutgoing(*out, from);
}

void FileTransfers::pumpOutgoing(Outgoing& out, session::PlayerId to) {
    Receiver& receiver = out.receivers[to];
    if (out.file->size() != out.size) {
        failOutgoing(out, TransferInfo::State::Failed, texts::failed(out.fileName, texts::whyChanged()),
                     CancelReason::Error);
        return;
    }
    while (receiver.next < receiver.upTo) {
        const qint64 length = std::min<qint64>(kMaxChunkBytes, receiver.upTo - receiver.next);
        QByteArray data;
        if (out.file->seek(receiver.next))
            data = out.file->read(length);
        if (data.size() != length) {
            failOutgoing(out, TransferInfo::State::Failed, texts::failed(out.fileName, texts::whyChanged()),
                         CancelReason::Error);
            return;
        }
        const session::Status sent =
            m_service.sendFilePart(to, encodePart(Chunk{out.transferId, static_cast<quint64>(receiver.next), data}));
        if (!sent) {
            // The receiver asks again once the link is back.
            qCDebug(lcTransfer) << "a chunk to" << to << "was not sent:" << sent.error().description;
            return;
        }
        receiver.next += length;
    }
}

void FileTransfers::onDone(session::PlayerId from, const Done& done) {
    Outgoing* out = outgoingById(done.transferId);
    if (!out || !out->active() || !out->receivers.contains(from))
        return;
    Receiver& receiver = out->receivers[from];
    if (receiver.phase != Receiver::Phase::Running && !(receiver.phase == Receiver::Phase::Offered && out->size == 0))
        return;
    receiver.have = out->size;
    Q_EMIT notice(texts::receivedBy(nameOf(from), out->fileName));
    endOutgoingReceiver(*out, from, TransferInfo::State::Done);
}

void FileTransfers::endOutgoingReceiver(Outgoing& out, session::PlayerId receiver, TransferInfo::State outcome) {
    out.receivers[receiver].phase =
        outcome == TransferInfo::State::Done ? Receiver::Phase::Done : Receiver::Phase::Ended;
    changed(out.number, true);
    if (out.count(Receiver::Phase::Offered) + out.count(Receiver::Phase::Running) > 0)
        return;
    // The last receiver has answered: one that holds the file makes the whole offer done.
    out.file.reset();
    out.state = out.count(Receiver::Phase::Done) > 0 ? TransferInfo::State::Done : outcome;
    changed(out.number, true);
    startOutgoingQueued();
}

void FileTransfers::offerUndelivered(const session::Message& payload) {
    const std::optional<Offer> offer = decodeOffer(payload);
    Outgoing* out = offer ? outgoingById(offer->transferId) : nullptr;
    if (out != nullptr && out->state != TransferInfo::State::Done) {
        failOutgoing(*out, TransferInfo::State::Failed, texts::failed(out->fileName, texts::whyUndelivered()),
                     std::nullopt);
    }
}

void FileTransfers::failOutgoing(Outgoing& out, TransferInfo::State state, const QString& message,
                                 std::optional<CancelReason> tell) {
    out.file.reset();
    out.state = state;
    out.message = message;
    if (tell)
        for (auto it = out.receivers.cbegin(); it != out.receivers.cend(); ++it)
            if (it->phase == Receiver::Phase::Offered || it->phase == Receiver::Phase::Running)
                sendPart(it.key(), Cancel{out.transferId, *tell, CancelSide::Sender});
    for (Receiver& r : out.receivers)
        if (r.phase != Receiver::Phase::Done)
            r.phase = Receiver::Phase::Ended;
    Q_EMIT notice(message);
    changed(out.number, true);
    startOutgoingQueued();
}

} // namespace transfer
