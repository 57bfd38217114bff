#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace session {

// A member of a room. As a receiver, 0 means every other member; as a sender, 0
// marks a system message of the session.
using PlayerId = qint32;
inline constexpr PlayerId kEveryone = 0;
inline constexpr PlayerId kSystemSender = 0;

// The largest file part a room carries (SessionService::sendFilePart()).
inline constexpr qsizetype kMaxFilePartBytes = 80 * 1024;

// Error codes that callers test by value. Every other failure carries its own code
// and a readable description.
inline constexpr quint32 kErrorAlreadyInitialized = 0x88770005u;
inline constexpr quint32 kErrorInvalidPlayer = 0x88770096u;

struct Error {
    quint32 code = 0;
    QString description;
};

template <class T>
using Result = platform::Result<T, Error>;
using Status = Result<void>;

inline platform::Failure<Error> failure(quint32 code, QString description) {
    return platform::Failure<Error>{Error{code, std::move(description)}};
}

// The application id of every room this program lists, creates and joins.
inline constexpr char16_t kApplicationId[] = u"{AC330441-9B71-11D2-9AAB-0020781461AC}";

// System message types (the first integer of a message from kSystemSender).
inline constexpr qint32 kSystemPlayerJoined = 3;
inline constexpr qint32 kSystemPlayerLeft = 5;
// Followed by one integer, how many of the room's records were lost to the local player
// at this point (see RoomLink::recordsMissed), at most 2^31 - 1.
inline constexpr qint32 kSystemRecordsMissed = 0x100;
// The player type carried in join and leave notices.
inline constexpr qint32 kPlayerTypePlayer = 1;

// A list whose positions run from 1 to count(), as every list of the session
// service does. Reading outside that range is an error, never undefined behaviour.
template <class T>
class OneBasedList {
public:
    OneBasedList() = default;
    explicit OneBasedList(QList<T> items) : m_items(std::move(items)) {}

    int count() const { return static_cast<int>(m_items.size()); }
    Result<T> item(int index) const {
        if (index < 1 || index > count()) {
            return failure(0x88770118u, QStringLiteral("list index %1 is outside 1 to %2").arg(index).arg(count()));
        }
        return m_items.at(index - 1);
    }
    const QList<T>& items() const { return m_items; }

private:
    QList<T> m_items;
};

// A way to reach rooms: the LAN (found by broadcast), the Internet (a given host), or
// a NATS cluster the rooms live on.
struct Connection {
    enum class Kind { Lan, Internet, Nats };
    Kind kind = Kind::Lan;
    QString name;
};

// Describes a room for listing, creating and joining. A listing fills in where the
// room is; the caller sets the application id, the name (to create) and the password.
struct RoomDescription {
    QString applicationId;
    QString name;
    QString password;
    qint32 numericAttribute = 0;

    // Filled by a listing: where the room's host listens and which instance it is.
    QString hostAddress;
    quint16 hostPort = 0;
    QByteArray instanceId;
    bool passwordProtected = false;
};

enum class OpenMode : qint32 { Join = 1, CreateAndHost = 2 };

struct PlayerEntry {
    PlayerId id = 0;
    QString name;
};

// A public line said in the room before the local player came: its author (who may
// have left since), and its text as the log shows it, its opening command taken off.
struct HistoryLine {
    PlayerId from = 0;
    QString name;
    QString text;
};

} // namespace session
