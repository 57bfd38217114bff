#pragma once

#include "RoomFiles.h"
#include "chat/ChatController.h"
#include "chat/ChatOutputs.h"
#include "session/NetworkSessionService.h"

#include <QObject>
#include <QString>
#include <optional>

namespace room {

// The exit codes of the program; --help lists them.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitRoomNotFound = 3,
    kExitWrongPassword = 4,
    kExitNameRefused = 5,
    kExitRoomKey = 6,
};

struct Options {
    QString room;
    // host or host:port of the Internet connection; empty: the LAN.
    QString address;
    // nats://host:port[,...] of the NATS connection; set, it wins over the address.
    QString nats;
    QString name;
    QString password;
    // join: the fingerprint the room's key must have; empty: any key the first time,
    // the same one after that.
    QString expectFingerprint;
    // Where offered files are saved, and whether every offer is taken at once.
    QString downloads;
    bool acceptFiles = false;
    qint64 largestFileMb = 2048; // the largest file taken
    session::SessionConfig config;
};

// Sounds are interpreted but never played: the count is the Sounds folder's.
class SilentSounds : public chat::ChatSounds {
public:
    SilentSounds();
    void playMessageSound() override {}
    void playJoinSound() override {}
    void playLeaveSound() override {}
    int scriptSoundCount() const override { return m_count; }
    void playScriptSound(int) override {}

private:
    int m_count = 0;
};

// Notices and message boxes go to standard error; so does every line that did not
// go out, after the send-failure text.
class ConsoleView : public chat::ChatView {
public:
    void setMessageTag(const QString& caption) override;
    void showMessageBox(const QString& text) override;
    void restoreEntry(const QString& text) override;
    // The line of input being sent, named if sending it fails at once.
    void setLineBeingSent(const QString& line) { m_lineBeingSent = line; }

private:
    QString m_lineBeingSent;
};

// One copy of the chat program without a window: lists, hosts or joins a room,
// prints every log line on standard output and sends what it is given.
class RoomClient : public QObject {
    Q_OBJECT

public:
    explicit RoomClient(Options options, QObject* parent = nullptr);
    ~RoomClient() override;

    // Prints the rooms of the LAN or of the given address, one per line.
    int list();
    // Hosts a new room, or joins one; kExitOk once the local player is in it, which
    // one line on standard error tells with the room's address and port.
    int host();
    int join();

    // One line of input: "/w NAME text" (or "/w "NAME" text" for a name with spaces)
    // whispers to NAME, the file commands go to RoomFiles ("/w NAME /send PATH" offers a
    // file to NAME alone), anything else goes to everybody. Empty lines are skipped.
    void sendLine(const QString& line);

    // Destroys the local player and closes the session, giving the goodbye a
    // moment to leave.
    void leave();

Q_SIGNALS:
    // The room ended under this member (its host went and nobody took it over);
    // every message that was waiting has been handled.
    void roomEnded();

private:
    int initialize();
    int enterRoom();
    // One message waits for the local player: handled now, or held while standard
    // output is congested.
    void onMessageWaiting(qint32 eventId);
    void takeHeldMessages();
    void checkRoomEnded();
    std::optional<session::RoomDescription> findRoom(int& exitCode);
    void sendTyped(const QString& line);
    // What there is to tell about the keys on disk; then, once the room is open, its
    // fingerprint.
    void printKeyNotice();
    void printFingerprint(int entered);

    Options m_options;
    session::NetworkSessionService m_service;
    SilentSounds m_sounds;
    ConsoleView m_view;
    chat::ChatController m_controller;
    RoomFiles m_files;
    bool m_inRoom = false;
    qint32 m_eventHandle = 0;
    int m_heldEvents = 0;
};

} // namespace room
