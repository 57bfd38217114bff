#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

namespace session {

class HostLink;
class RoomHost;
struct Frame;

// Who gets into the room: the handshake (Hello, the password's CPace), the player a
// member creates, and a resumed player's secret. Limits the handshakes in progress in
// total and per address, and backs off an address that keeps proving wrong.
class HostAdmission {
public:
    explicit HostAdmission(RoomHost& host);

    // Whether a newcomer from `source` finds a handshake slot, in total and for its address.
    bool handshakeSlotFree(const QByteArray& source) const;
    // When `source` has all its handshakes in progress: the oldest of them that has
    // sent nothing at all, which makes way for a newcomer from there.
    HostLink* oldestSilent(const QByteArray& source) const;
    // Whether a connection is still on its way to a player (listing ones included).
    bool arrivalsUnderWay() const;

    void handleHello(HostLink* link, const Frame& frame);
    void handleAuth(HostLink* link, const Frame& frame);
    // `turnCame`: it waited for its address's turn to join (see nextJoinIn).
    void handleCreatePlayer(HostLink* link, const Frame& frame, bool turnCame = false);
    void handleResume(HostLink* link, const Frame& frame);
    // A player from `source` left within the churn window of its join.
    void churned(const QByteArray& source);

private:
    // Wrong proofs from one address: whether its proofs are not checked now, and
    // counting one more.
    bool proofsBackedOff(const QByteArray& source) const;
    void wrongProof(const QByteArray& source);
    void reject(HostLink* link, quint32 reason, const QString& text);
    // Milliseconds until `source` may have its next player; 0: now.
    qint64 nextJoinIn(const QByteArray& source);

    RoomHost& m_host;
    struct ProofFailures {
        int count = 0;
        qint64 until = 0; // host clock time before which proofs from there are refused unchecked
    };
    QHash<QByteArray, ProofFailures> m_proofFailures;
    // Players an address may still create at once (refilled with time, up to the burst).
    struct JoinTurns {
        double left = 0;
        qint64 at = 0; // host clock time `left` was counted at
    };
    QHash<QByteArray, JoinTurns> m_joinTurns;
};

} // namespace session
