#pragma once

#include "chat/ChatOutputs.h"
#include "session/SessionService.h"

#include <QList>
#include <QStringList>
#include <functional>
#include <optional>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace chattest {

// An in-memory room: a fixed player list, a queue of messages for the local player
// and a record of everything sent.
class FakeSessionService : public session::SessionService {
public:
    struct Sent {
        session::PlayerId from = 0;
        session::PlayerId to = 0;
        qint32 kind = -1;
        QString text;
    };

    QList<session::PlayerEntry> players;
    QList<session::ReceivedMessage> queue;
    QList<Sent> sent;
    qint32 eventHandle = 0;
    int receiveCalls = 0;
    int listPlayersCalls = 0;
    std::optional<session::Error> sendError;
    std::optional<session::Error> listError;

    // Queues a message for the local player and raises its event.
    void deliver(session::PlayerId from, const session::Message& message, session::PlayerId to = session::kEveryone) {
        queue.append(session::ReceivedMessage{from, to, message});
        raiseEvent(eventHandle);
    }
    void deliverChat(session::PlayerId from, qint32 kind, const QString& text) {
        session::Message message;
        message.writeInt32(kind);
        message.writeString(text);
        deliver(from, message);
    }
    void deliverSystem(qint32 type, session::PlayerId player) {
        session::Message message;
        message.writeInt32(type);
        message.writeInt32(session::kPlayerTypePlayer);
        message.writeInt32(player);
        deliver(session::kSystemSender, message);
    }

    session::Result<session::OneBasedList<session::Connection>> listConnections() override {
        return session::OneBasedList<session::Connection>{};
    }
    session::Status initialize(const session::Connection&) override { return {}; }
    session::Result<session::OneBasedList<session::RoomDescription>> listRooms(const session::RoomDescription&,
                                                                               int) override {
        return session::OneBasedList<session::RoomDescription>{};
    }
    session::Status openRoom(const session::RoomDescription&, session::OpenMode) override { return {}; }
    session::Result<session::PlayerId> createLocalPlayer(const QString&, const QString&, qint32 handle,
                                                         qint32) override {
        eventHandle = handle;
        return 1;
    }
    session::Status destroyPlayer(session::PlayerId) override { return {}; }
    session::Result<session::OneBasedList<session::PlayerEntry>> listPlayers() override {
        ++listPlayersCalls;
        if (listError) {
            return session::failure(listError->code, listError->description);
        }
        return session::OneBasedList<session::PlayerEntry>(players);
    }
    session::Result<QString> playerName(session::PlayerId id) override {
        for (const session::PlayerEntry& player : players) {
            if (player.id == id) {
                return player.name;
            }
        }
        return session::failure(session::kErrorInvalidPlayer, QStringLiteral("invalid player"));
    }
    session::Result<int> waitingMessageCount(session::PlayerId) override { return static_cast<int>(queue.size()); }
    session::Result<session::ReceivedMessage> receive() override {
        ++receiveCalls;
        if (queue.isEmpty()) {
            return session::failure(0x887700c8u, QStringLiteral("no message"));
        }
        return queue.takeFirst();
    }
    session::Status send(session::PlayerId from, session::PlayerId to, const session::Message& message) override {
        if (sendError) {
            return session::failure(sendError->code, sendError->description);
        }
        session::Message copy(message.payload());
        Sent record;
        record.from = from;
        record.to = to;
        record.kind = copy.readInt32().valueOr(-1);
        record.text = copy.readString().valueOr(QString());
        sent.append(record);
        return {};
    }
    void close() override {}
};

// Records every sound as a word: "message", "join", "leave" or "sound N".
class RecordingSounds : public chat::ChatSounds {
public:
    QStringList played;
    int count = 20;

    void playMessageSound() override { played.append(QStringLiteral("message")); }
    void playJoinSound() override { played.append(QStringLiteral("join")); }
    void playLeaveSound() override { played.append(QStringLiteral("leave")); }
    int scriptSoundCount() const override { return count; }
    void playScriptSound(int index) override { played.append(QStringLiteral("sound %1").arg(index)); }
};

class RecordingView : public chat::ChatView {
public:
    QString messageTag;
    QStringList boxes;
    // Runs while a box "shows", as the nested event loop of a modal box would.
    std::function<void()> whileBoxShows;

    void setMessageTag(const QString& caption) override { messageTag = caption; }
    void showMessageBox(const QString& text) override {
        boxes.append(text);
        if (whileBoxShows) {
            whileBoxShows();
        }
    }
};

} // namespace chattest
