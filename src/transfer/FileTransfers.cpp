#include "transfer/FileTransfers.h"

#include "transfer/TransferLogging.h"
#include "transfer/TransferState.h"
#include "transfer/TransferTexts.h"

namespace transfer {

namespace {
// At most one Cancel 3 a second per (player, transfer id): a stream of stale chunks
// after a cancel gets one answer, not one each.
constexpr qint64 kUnknownAnswerMs = 1000;
constexpr qint64 kChangedEveryMs = 250;

quint64 pairKey(session::PlayerId player, quint32 transferId) {
    return (static_cast<quint64>(static_cast<quint32>(player)) << 32) | transferId;
}
} // namespace

FileTransfers::FileTransfers(session::SessionService& service, QObject* parent)
    : QObject(parent), m_service(service), m_stopping(std::make_shared<std::atomic<bool>>(false)) {
    if (sodium_init() < 0)
        qCWarning(lcTransfer) << "libsodium did not start";
    m_clock.start();
    m_hashers.setMaxThreadCount(1);
    connect(&m_service, &session::SessionService::filePartReceived, this, &FileTransfers::onPart);
    connect(&m_timer, &QTimer::timeout, this, &FileTransfers::tick);
    m_timer.start(static_cast<int>(kChangedEveryMs));
}

FileTransfers::~FileTransfers() {
    m_stopping->store(true);
    m_hashers.waitForDone();
}

void FileTransfers::setLocalPlayer(session::PlayerId id) {
    m_local = id;
}

void FileTransfers::setLargestFile(qint64 bytes) {
    m_largestFile = std::max<qint64>(0, bytes);
}

void FileTransfers::setTimings(const TransferTimings& timings) {
    m_timings = timings;
    m_timer.setInterval(std::clamp(timings.stallMs / 4, 10, static_cast<int>(kChangedEveryMs)));
}

void FileTransfers::onPart(session::PlayerId from, const QByteArray& bytes) {
    const std::optional<Part> part = decodePart(bytes);
    if (!part) {
        qCDebug(lcTransfer) << "ignored a malformed file part of" << bytes.size() << "bytes from" << from;
        return;
    }
    std::visit(
        [this, from](const auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, Want>)
                onWant(from, p);
            else if constexpr (std::is_same_v<T, Chunk>)
                onChunk(from, p);
            else if constexpr (std::is_same_v<T, Cancel>)
                onCancel(from, p);
            else
                onDone(from, p);
        },
        *part);
}

void FileTransfers::onCancel(session::PlayerId from, const Cancel& cancel) {
    const auto why = [&cancel](const QString& file) {
        switch (cancel.reason) {
        case CancelReason::Error:
            return texts::failed(file, texts::whyPeerError());
        case CancelReason::Limit:
            return texts::failed(file, texts::whyLimit());
        default:
            return texts::failed(file, texts::whyPeerError());
        }
    };
    if (cancel.side == CancelSide::Sender) {
        Incoming* in = incomingById(from, cancel.transferId);
        if (!in || !in->active())
            return;
        if (cancel.reason == CancelReason::ByUser)
            failIncoming(*in, TransferInfo::State::Cancelled, texts::cancelledBy(in->senderName, in->fileName),
                         std::nullopt);
        else
            failIncoming(*in, TransferInfo::State::Failed, why(in->fileName), std::nullopt);
        return;
    }
    Outgoing* out = outgoingById(cancel.transferId);
    if (!out || !out->active() || !out->receivers.contains(from))
        return;
    Receiver& receiver = out->receivers[from];
    if (receiver.phase == Receiver::Phase::Done || receiver.phase == Receiver::Phase::Ended)
        return;
    const QString name = nameOf(from);
    TransferInfo::State outcome = TransferInfo::State::Failed;
    if (receiver.phase == Receiver::Phase::Offered && cancel.reason == CancelReason::ByUser) {
        outcome = TransferInfo::State::Declined;
        out->message = texts::declinedBy(name, out->fileName);
    } else if (cancel.reason == CancelReason::ByUser) {
        outcome = TransferInfo::State::Cancelled;
        out->message = texts::cancelledBy(name, out->fileName);
    } else {
        out->message = why(out->fileName);
    }
    Q_EMIT notice(out->message);
    endOutgoingReceiver(*out, from, outcome);
}

void FileTransfers::cancel(int number) {
    if (Incoming* in = incomingByNumber(number); in && in->active()) {
        failIncoming(*in, TransferInfo::State::Cancelled, texts::cancelled(in->fileName), CancelReason::ByUser);
        startIncomingQueued(in->sender);
    } else if (Outgoing* out = outgoingByNumber(number); out && out->active()) {
        failOutgoing(*out, TransferInfo::State::Cancelled, texts::cancelled(out->fileName), CancelReason::ByUser);
    }
}

void FileTransfers::playerLeft(session::PlayerId id) {
    for (const auto& in : std::as_const(m_incoming))
        if (in->sender == id && in->active())
            failIncoming(*in, TransferInfo::State::Failed, texts::failed(in->fileName, texts::whyLeft(in->senderName)),
                         std::nullopt);
    for (const auto& out : std::as_const(m_outgoing)) {
        if (!out->active())
            continue;
        if (!out->toRoom() && out->to == id) {
            failOutgoing(*out, TransferInfo::State::Failed, texts::failed(out->fileName, texts::whyLeft(out->toName)),
                         std::nullopt);
        } else if (out->receivers.contains(id)) {
            const Receiver::Phase phase = out->receivers.value(id).phase;
            if (phase != Receiver::Phase::Done && phase != Receiver::Phase::Ended)
                endOutgoingReceiver(*out, id, TransferInfo::State::Failed);
        }
    }
    m_floodNoticed.remove(id);
}

void FileTransfers::roomEnded() {
    for (const auto& in : std::as_const(m_incoming))
        if (in->active())
            failIncoming(*in, TransferInfo::State::Failed, texts::failed(in->fileName, texts::whyRoomEnded()),
                         std::nullopt);
    for (const auto& out : std::as_const(m_outgoing))
        if (out->active())
            failOutgoing(*out, TransferInfo::State::Failed, texts::failed(out->fileName, texts::whyRoomEnded()),
                         std::nullopt);
}

void FileTransfers::tick() {
    const qint64 now = m_clock.elapsed();
    for (const auto& in : std::as_const(m_incoming)) {
        if (in->state != TransferInfo::State::Running)
            continue;
        // Only the sender's chunks count: this copy's own Wants keep nothing alive.
        if (now - in->lastChunkAt >= m_timings.silentMs) {
            failIncoming(*in, TransferInfo::State::Failed, texts::failed(in->fileName, texts::whySilent()),
                         CancelReason::Error);
            startIncomingQueued(in->sender);
            continue;
        }
        // Parts lost on a cut link or a host move: ask again from what arrived.
        if (in->written < in->granted && now - in->lastChunkAt >= m_timings.stallMs &&
            now - in->lastWantAt >= m_timings.stallMs)
            sendWant(*in, true);
        in->rate.sample(in->written, now);
        changed(in->number, false);
    }
    for (const auto& out : std::as_const(m_outgoing)) {
        if (out->state != TransferInfo::State::Running)
            continue;
        for (auto it = out->receivers.begin(); it != out->receivers.end(); ++it)
            if (it->phase == Receiver::Phase::Running && now - it->lastWantAt >= m_timings.forgetMs) {
                qCDebug(lcTransfer) << "forgot receiver" << it.key() << "of transfer" << out->transferId;
                endOutgoingReceiver(*out, it.key(), TransferInfo::State::Failed);
                break; // the hash may have changed under us
            }
        if (out->state != TransferInfo::State::Running)
            continue;
        // A chunk the service could not take (its queue was full) goes again from here.
        const QList<session::PlayerId> behind = out->receivers.keys();
        for (const session::PlayerId id : behind) {
            const Receiver& r = out->receivers[id];
            if (out->state == TransferInfo::State::Running && r.phase == Receiver::Phase::Running && r.next < r.upTo)
                pumpOutgoing(*out, id);
        }
        if (out->state != TransferInfo::State::Running)
            continue;
        qint64 best = 0;
        for (const Receiver& r : std::as_const(out->receivers))
            best = std::max(best, r.have);
        out->rate.sample(best, now);
        changed(out->number, false);
    }
}

void FileTransfers::sendPart(session::PlayerId to, const Part& part) {
    const session::Status sent = m_service.sendFilePart(to, encodePart(part));
    if (!sent)
        qCDebug(lcTransfer) << "a file part to" << to << "was not sent:" << sent.error().description;
}

void FileTransfers::answerUnknown(session::PlayerId to, quint32 transferId, CancelSide side) {
    const quint64 key = pairKey(to, transferId);
    const qint64 now = m_clock.elapsed();
    const auto last = m_unknownAnswered.constFind(key);
    if (last != m_unknownAnswered.constEnd() && now - *last < kUnknownAnswerMs)
        return;
    if (m_unknownAnswered.size() > 4096)
        m_unknownAnswered.clear();
    m_unknownAnswered.insert(key, now);
    sendPart(to, Cancel{transferId, CancelReason::Unknown, side});
}

void FileTransfers::changed(int number, bool force) {
    const qint64 now = m_clock.elapsed();
    auto last = m_lastChanged.find(number);
    if (!force && last != m_lastChanged.end() && now - *last < kChangedEveryMs - 20)
        return;
    m_lastChanged.insert(number, now);
    Q_EMIT transferChanged(number);
}

QString FileTransfers::nameOf(session::PlayerId id) const {
    const auto name = m_service.playerName(id);
    return name ? *name : QStringLiteral("?");
}

QList<TransferInfo> FileTransfers::transfers() const {
    QList<TransferInfo> all;
    for (int number = 1; number < m_nextNumber; ++number)
        if (const auto info = transfer(number))
            all.append(*info);
    return all;
}

std::optional<TransferInfo> FileTransfers::transfer(int number) const {
    auto* self = const_cast<FileTransfers*>(this);
    TransferInfo info;
    info.number = number;
    if (const Incoming* in = self->incomingByNumber(number)) {
        info.incoming = true;
        info.peer = in->sender;
        info.peerName = in->senderName;
        info.toRoom = in->toRoom;
        info.fileName = in->fileName;
        info.size = in->offer.size;
        info.done = in->written;
        info.state = in->state;
        info.savedPath = in->savedPath;
        info.message = in->message;
        info.bytesPerSecond = in->state == TransferInfo::State::Running ? in->rate.bytesPerSecond : 0;
    } else if (const Outgoing* out = self->outgoingByNumber(number)) {
        info.peer = out->to;
        info.peerName = out->toName;
        info.toRoom = out->toRoom();
        info.fileName = out->fileName;
        info.size = out->size;
        for (const Receiver& r : out->receivers)
            info.done = std::max(info.done, r.have);
        info.receiversDone = out->count(Receiver::Phase::Done);
        info.state = out->state;
        info.message = out->message;
        info.bytesPerSecond = out->state == TransferInfo::State::Running ? out->rate.bytesPerSecond : 0;
    } else {
        return std::nullopt;
    }
    if (info.bytesPerSecond > 0)
        info.secondsLeft = static_cast<qint64>(static_cast<double>(info.size - info.done) / info.bytesPerSecond);
    return info;
}

Incoming* FileTransfers::incomingByNumber(int number) {
    for (const auto& in : std::as_const(m_incoming))
        if (in->number == number)
            return in.get();
    return nullptr;
}

Outgoing* FileTransfers::outgoingByNumber(int number) {
    for (const auto& out : std::as_const(m_outgoing))
        if (out->number == number)
            return out.get();
    return nullptr;
}

Incoming* FileTransfers::incomingById(session::PlayerId sender, quint32 transferId) {
    for (const auto& in : std::as_const(m_incoming))
        if (in->sender == sender && in->offer.transferId == transferId)
            return in.get();
    return nullptr;
}

Outgoing* FileTransfers::outgoingById(quint32 transferId) {
    for (const auto& out : std::as_const(m_outgoing))
        if (out->transferId == transferId)
            return out.get();
    return nullptr;
}

} // namespace transfer
