// Signed receipts (docs/protocol.md, "Receipts"): as a receiver, a member tells each
// sender what it took; as a sender, it waits for its receivers to confirm its lines,
// whatever the host acknowledged, and hands back those nobody confirms.
#include "session/SessionLog.h"
#include "session/member/RoomMember.h"
#include "session/secure/LineSignature.h"
#include "session/wire/WireBuffer.h"

#include <algorithm>

namespace session {

void RoomMember::tookLine(PlayerId from, quint32 seq) {
    // The host's own player needs no receipts: its copy relays the room itself.
    if (from == m_successors.hostPlayer()) {
        return;
    }
    m_taken[from] = Taken{seq, m_clock.elapsed(), true};
    if (!m_receiptTimer.isActive()) {
        m_receiptTimer.start(m_config.receiptInterval);
    }
}

void RoomMember::writeReceipts(bool recentToo) {
    if (m_state != State::Playing || !m_roomKey) {
        return;
    }
    const qint64 now = m_clock.elapsed();
    for (auto it = m_taken.begin(); it != m_taken.end();) {
        if (!it->due && now - it->at > m_config.receiptTimeout.count()) {
            it = m_taken.erase(it);
            continue;
        }
        if (it->due || recentToo) {
            WireWriter out;
            out.i32(it.key());
            out.u32(it->seq);
            out.bytes(secure::deviceKeys().signing.sign(
                secure::receiptSignedBytes(*m_roomKey, m_playerId, it.key(), it->seq)));
            write(FrameType::Receipt, out.data());
            it->due = false;
        }
        ++it;
    }
}

void RoomMember::awaitReceipts(const PendingSend& line) {
    // Only receivers with a key sign receipts, so a line none of them gets is not
    // awaited. The host's player does not confirm a public line: the host is what the
    // receipts check; it confirms only what was addressed to it.
    const PlayerId host = m_successors.hostPlayer();
    const auto signs = [this](const RoomPlayer& p) {
        return p.id != m_playerId &&
               m_signingKeys.value(p.id, QByteArray(kSecretBytes, '\0')) != QByteArray(kSecretBytes, '\0');
    };
    const QList<RoomPlayer>& players = m_successors.players();
    const bool expected = std::any_of(players.cbegin(), players.cend(), [&](const RoomPlayer& p) {
        return signs(p) && (line.to == 0 ? p.id != host : p.id == line.to);
    });
    const quint32 confirmed = line.to == 0 ? m_confirmedByAnyone : m_confirmed.value(line.to);
    if (expected && confirmed < line.seq) {
        m_awaited.push_back(Awaited{line.seq, line.to, line.payload, m_clock.elapsed()});
    }
}

void RoomMember::handleReceipt(WireReader& in) {
    const auto receiver = in.i32();
    const auto seq = in.u32();
    const auto signature = in.bytes(secure::kLineSignatureBytes);
    secure::PublicBytes<secure::kSignPublicBytes> key{};
    // One the receiver did not sign proves nothing, and is dropped.
    if (!in.ok() || !m_roomKey || !secure::fromBytes(m_signingKeys.value(*receiver), key) ||
        key == secure::PublicBytes<secure::kSignPublicBytes>{} ||
        !secure::verifySignature(key, secure::receiptSignedBytes(*m_roomKey, *receiver, m_playerId, *seq),
                                 *signature)) {
        return;
    }
    quint32& confirmed = m_confirmed[*receiver];
    confirmed = std::max(confirmed, *seq);
    const PlayerId by = *receiver;
    const bool byHost = by == m_successors.hostPlayer();
    if (!byHost) {
        m_confirmedByAnyone = std::max(m_confirmedByAnyone, *seq);
    }
    // The lines wait in seq order: only those up to the receipt's are looked at.
    const auto upTo = std::upper_bound(m_awaited.begin(), m_awaited.end(), *seq,
                                       [](quint32 value, const Awaited& a) { return value < a.seq; });
    m_awaited.erase(
        std::remove_if(m_awaited.begin(), upTo, [&](const Awaited& a) { return (a.to == 0 && !byHost) || a.to == by; }),
        upTo);
}

void RoomMember::checkReceipts() {
    const qint64 now = m_clock.elapsed();
    while (!m_awaited.empty() && now - m_awaited.front().since >= m_config.receiptTimeout.count()) {
        const Awaited line = std::move(m_awaited.front());
        m_awaited.pop_front();
        qCDebug(lcSession) << "no receiver confirmed line" << line.seq;
        Q_EMIT unconfirmed(line.to, line.payload);
    }
}

} // namespace session
