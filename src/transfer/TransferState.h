#pragma once

// The engine's own record of each transfer; only FileTransfers' files include it.

#include "transfer/FileTransfers.h"

#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <sodium.h>

namespace transfer {

// How far a receiver may be ahead of what it wrote, and how many transfers run at once
// per member and direction; more wait queued.
inline constexpr qint64 kWindowBytes = 1024 * 1024;
inline constexpr int kMaxRunningPerMember = 4;
inline constexpr int kMaxPendingOffersPerSender = 32;

// Throughput and time left, measured over the engine's ticks.
struct Rate {
    qint64 lastDone = 0;
    qint64 lastAt = -1;
    double bytesPerSecond = 0;
    void sample(qint64 done, qint64 now) {
        if (lastAt >= 0 && now > lastAt) {
            const double current = static_cast<double>(done - lastDone) * 1000.0 / static_cast<double>(now - lastAt);
            bytesPerSecond = bytesPerSecond == 0 ? current : 0.7 * bytesPerSecond + 0.3 * current;
        }
        lastDone = done;
        lastAt = now;
    }
};

struct Incoming {
    int number = 0;
    session::PlayerId sender = 0;
    QString senderName;
    bool toRoom = false;
    Offer offer;
    QString fileName; // made safe
    TransferInfo::State state = TransferInfo::State::Offered;
    QString message;
    QString target;
    bool overwrite = false;
    QString savedPath;
    std::unique_ptr<QSaveFile> file;
    crypto_generichash_state hash{};
    qint64 written = 0;
    qint64 granted = 0;
    qint64 lastWantHave = 0;
    qint64 lastWantAt = 0;
    qint64 lastChunkAt = 0;
    Rate rate;
    bool active() const {
        return state == TransferInfo::State::Running || state == TransferInfo::State::Waiting ||
               state == TransferInfo::State::Offered;
    }
};

struct Receiver {
    enum class Phase { Offered, Running, Done, Ended } phase = Phase::Offered;
    qint64 next = 0; // the next byte to send
    qint64 upTo = 0;
    qint64 have = 0; // what it said it holds
    qint64 lastWantAt = 0;
};

struct Outgoing {
    int number = 0;
    session::PlayerId to = 0;
    QString toName;
    QString path;
    QString fileName;
    quint32 transferId = 0;
    qint64 size = 0;
    QString hash; // empty while hashing
    TransferInfo::State state = TransferInfo::State::Waiting;
    QString message;
    bool offered = false;
    std::unique_ptr<QFile> file;
    QHash<session::PlayerId, Receiver> receivers; // every player the offer went to
    Rate rate;
    bool toRoom() const { return to == session::kEveryone; }
    bool active() const {
        return state == TransferInfo::State::Running || state == TransferInfo::State::Waiting ||
               state == TransferInfo::State::Offered;
    }
    int count(Receiver::Phase phase) const {
        int n = 0;
        for (const Receiver& r : receivers)
            n += r.phase == phase ? 1 : 0;
        return n;
    }
};

} // namespace transfer
