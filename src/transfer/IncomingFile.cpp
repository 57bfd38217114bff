// The receiving side of FileTransfers: offers, acceptance, writing and checking.

#include "transfer/FileName.h"
#include "transfer/FileTransfers.h"
#include "transfer/TransferLogging.h"
#include "transfer/TransferState.h"
#include "transfer/TransferTexts.h"

#include <QFileInfo>

namespace transfer {

namespace {
quint64 offerKey(session::PlayerId sender, quint32 transferId) {
    return (static_cast<quint64>(static_cast<quint32>(sender)) << 32) | transferId;
}
} // namespace

bool FileTransfers::offerReceived(session::PlayerId from, session::PlayerId to, const session::Message& payload) {
    const std::optional<Offer> offer = decodeOffer(payload);
    if (!offer || from == session::kSystemSender || from == m_local) {
        qCDebug(lcTransfer) << "ignored an offer that did not decode from" << from;
        return false;
    }
    // A repeated id from the same sender is the same offer again; the first one stands.
    const quint64 key = offerKey(from, offer->transferId);
    if (m_seenOffers.contains(key))
        return true;
    m_seenOffers.insert(key);

    // A flood of offers costs bounded memory: the oldest unanswered ones make room.
    QList<int> pending;
    for (const auto& in : std::as_const(m_incoming))
        if (in->sender == from && in->state == TransferInfo::State::Offered)
            pending.append(in->number);
    if (pending.size() >= kMaxPendingOffersPerSender) {
        const int drop = pending.size() - kMaxPendingOffersPerSender + 1;
        for (int i = 0; i < drop; ++i) {
            m_incoming.removeIf([n = pending.at(i)](const auto& in) { return in->number == n; });
            changed(pending.at(i), true);
        }
        if (!m_floodNoticed.contains(from)) {
            m_floodNoticed.insert(from);
            Q_EMIT notice(texts::offersDropped(nameOf(from)));
        }
    }

    auto in = std::make_shared<Incoming>();
    in->number = m_nextNumber++;
    in->sender = from;
    in->senderName = nameOf(from);
    in->toRoom = to == session::kEveryone;
    in->offer = *offer;
    in->fileName = safeFileName(offer->name);
    const bool tooLarge = offer->size > m_largestFile;
    if (tooLarge) {
        in->state = TransferInfo::State::Declined;
        in->message = texts::offeredTooLarge(in->senderName, in->fileName, offer->size, m_largestFile);
    }
    m_incoming.append(in);
    Q_EMIT transferAdded(in->number);
    if (tooLarge) {
        Q_EMIT notice(in->message);
        sendPart(from, Cancel{offer->transferId, CancelReason::Limit, CancelSide::Receiver});
    } else {
        Q_EMIT notice(texts::offeredToYou(in->senderName, in->fileName, offer->size, in->number));
    }
    return true;
}

void FileTransfers::accept(int number, const QString& targetPath, bool overwrite) {
    Incoming* in = incomingByNumber(number);
    if (!in || in->state != TransferInfo::State::Offered)
        return;
    if (in->offer.size > m_largestFile)
        return;
    // An existing file stays as it is; the offer stays open for another name.
    if (!overwrite && QFileInfo::exists(targetPath)) {
        Q_EMIT notice(texts::failed(in->fileName, texts::whyExists(targetPath)));
        return;
    }
    in->target = targetPath;
    in->overwrite = overwrite;
    int running = 0;
    for (const auto& other : std::as_const(m_incoming))
        running += (other->sender == in->sender && other->state == TransferInfo::State::Running) ? 1 : 0;
    if (running >= kMaxRunningPerMember) {
        in->state = TransferInfo::State::Waiting;
        in->message = texts::waitingForSlot();
        changed(number, true);
        return;
    }
    startIncoming(*in);
}

void FileTransfers::decline(int number) {
    Incoming* in = incomingByNumber(number);
    if (!in || (in->state != TransferInfo::State::Offered && in->state != TransferInfo::State::Waiting))
        return;
    failIncoming(*in, TransferInfo::State::Declined, texts::youDeclined(in->fileName), CancelReason::ByUser);
}

void FileTransfers::startIncoming(Incoming& in) {
    in.file = std::make_unique<QSaveFile>(in.target);
    if (!in.file->open(QIODevice::WriteOnly)) {
        const QString why = in.file->errorString();
        failIncoming(in, TransferInfo::State::Failed, texts::failed(in.fileName, texts::whyWrite(why)),
                     CancelReason::Error);
        return;
    }
    crypto_generichash_init(&in.hash, nullptr, 0, crypto_generichash_BYTES);
    in.state = TransferInfo::State::Running;
    in.message.clear();
    in.written = 0;
    in.lastChunkAt = m_clock.elapsed();
    changed(in.number, true);
    if (in.offer.size == 0) {
        finishIncoming(in);
        return;
    }
    sendWant(in, false);
}

void FileTransfers::startIncomingQueued(session::PlayerId sender) {
    int running = 0;
    for (const auto& in : std::as_const(m_incoming))
        running += (in->sender == sender && in->state == TransferInfo::State::Running) ? 1 : 0;
    for (const auto& in : std::as_const(m_incoming)) {
        if (running >= kMaxRunningPerMember)
            return;
        if (in->sender == sender && in->state == TransferInfo::State::Waiting) {
            startIncoming(*in);
            ++running;
        }
    }
}

void FileTransfers::sendWant(Incoming& in, bool restart) {
    in.granted = std::min(in.offer.size, in.written + kWindowBytes);
    in.lastWantHave = in.written;
    in.lastWantAt = m_clock.elapsed();
    sendPart(in.sender,
             Want{in.offer.transferId, static_cast<quint64>(in.written), static_cast<quint64>(in.granted), restart});
}

void FileTransfers::onChunk(session::PlayerId from, const Chunk& chunk) {
    Incoming* in = incomingById(from, chunk.transferId);
    if (!in || (in->state != TransferInfo::State::Running && in->state != TransferInfo::State::Waiting)) {
        // Chunks that were already on their way when a transfer ended are normal; only a
        // transfer this copy never knew, or one it ended, gets told (rate-limited).
        answerUnknown(from, chunk.transferId, CancelSide::Receiver);
        return;
    }
    if (in->state != TransferInfo::State::Running)
        return;
    in->lastChunkAt = m_clock.elapsed();
    // After a restart, chunks sent before it may still come: only the next byte counts.
    if (chunk.offset != static_cast<quint64>(in->written))
        return;
    if (in->written + chunk.data.size() > in->offer.size) {
        failIncoming(*in, TransferInfo::State::Failed, texts::failed(in->fileName, texts::whyLonger()),
                     CancelReason::Error);
        startIncomingQueued(from);
        return;
    }
    if (in->file->write(chunk.data) != chunk.data.size()) {
        const QString why = in->file->errorString();
        failIncoming(*in, TransferInfo::State::Failed, texts::failed(in->fileName, texts::whyWrite(why)),
                     CancelReason::Error);
        startIncomingQueued(from);
        return;
    }
    crypto_generichash_update(&in->hash, reinterpret_cast<const unsigned char*>(chunk.data.constData()),
                              static_cast<unsigned long long>(chunk.data.size()));
    in->written += chunk.data.size();
    if (in->written == in->offer.size) {
        finishIncoming(*in);
        return;
    }
    if (in->written - in->lastWantHave >= kWindowBytes / 2)
        sendWant(*in, false);
}

void FileTransfers::finishIncoming(Incoming& in) {
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash_final(&in.hash, digest, sizeof digest);
    const QString hex = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex());
    if (hex != in.offer.hash) {
        failIncoming(in, TransferInfo::State::Failed, texts::failed(in.fileName, texts::whyCorrupt()),
                     CancelReason::Error);
        startIncomingQueued(in.sender);
        return;
    }
    // The target may have appeared while the file came.
    if (!in.overwrite && QFileInfo::exists(in.target)) {
        failIncoming(in, TransferInfo::State::Failed, texts::failed(in.fileName, texts::whyExists(in.target)),
                     CancelReason::Error);
        startIncomingQueued(in.sender);
        return;
    }
    if (!in.file->commit()) {
        const QString why = in.file->errorString();
        failIncoming(in, TransferInfo::State::Failed, texts::failed(in.fileName, texts::whyWrite(why)),
                     CancelReason::Error);
        startIncomingQueued(in.sender);
        return;
    }
    in.file.reset();
    in.state = TransferInfo::State::Done;
    in.savedPath = QFileInfo(in.target).absoluteFilePath();
    in.message = texts::saved(in.fileName, in.savedPath);
    sendPart(in.sender, Done{in.offer.transferId});
    Q_EMIT notice(in.message);
    changed(in.number, true);
    startIncomingQueued(in.sender);
}

void FileTransfers::failIncoming(Incoming& in, TransferInfo::State state, const QString& message,
                                 std::optional<CancelReason> tell) {
    if (in.file) {
        in.file->cancelWriting(); // the temporary file goes; the target was never touched
        in.file.reset();
    }
    in.state = state;
    in.message = message;
    if (tell)
        sendPart(in.sender, Cancel{in.offer.transferId, *tell, CancelSide::Receiver});
    Q_EMIT notice(message);
    changed(in.number, true);
}

} // namespace transfer
