#pragma once

#include "platform/ProfileFile.h"
#include "session/SessionService.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

// The program-wide session state: the session service, the lists it gave, and the
// room and player the chat window works with. It lives for the whole run; everything
// here runs on the user-interface thread.
namespace basGlobal {

using ServiceFactory = std::function<std::unique_ptr<session::SessionService>()>;

// --- Session state -------------------------------------------------------------

// Every session operation of the program; absent before InitSessionService and
// after CloseSessionService.
extern std::unique_ptr<session::SessionService> sessionService;
// Connection i belongs to row i - 1 of the wizard's connection list.
extern session::OneBasedList<session::Connection> connectionList;
// Room description i belongs to row i - 1 of the wizard's room list.
extern session::OneBasedList<session::RoomDescription> roomList;
// The local player; 0 while there is none.
extern session::PlayerId localPlayerId;
extern QString localPlayerName;
extern QString roomName;

// The handle under which network events are raised, 0 before registration.
extern qint32 eventHandle;
// Called once per network event (one waiting message each). The chat window installs
// its handler here when it opens; until then events are left waiting in the queue.
extern std::function<void(qint32 eventId)> eventReceiver;

// --- Replaceable pieces (tests swap them) ----------------------------------------

// Makes the session service. The default builds the network service with its
// standard ports.
extern ServiceFactory serviceFactory;
// Ends the program with `exitCode`. The default leaves the event loop (also when it
// has not started yet); tests record the call instead.
extern std::function<void(int exitCode)> endProgramHook;
// The settings file; empty means the standard place beside the program.
extern QString settingsPath;
// The system login name, or nothing when it cannot be read.
extern std::function<std::optional<QString>()> loginNameSource;

// --- Operations --------------------------------------------------------------------

// Creates the session service and lists its connections. On failure it tells the
// user and ends the program, and returns false.
bool InitSessionService();

// Destroys the local player (an error there is ignored: quitting must not fail) and
// releases the connection list, the room list and the service, which leaves the room.
// localPlayerId keeps its value. A second call does nothing.
void CloseSessionService();

// Replaces the service with a fresh one initialised on `connection`, asking nothing
// of the user: used to leave a room that was opened but could not be entered.
bool RestartSessionService(const session::Connection& connection);

// Registers the program's event receiver with the service and keeps the handle.
qint32 RegisterEventReceiver();

void EndProgram(int exitCode);
// True once EndProgram has run; the start-up checks it before showing a window.
bool programEnded();

platform::ProfileFile settingsFile();
QString readSetting(const QString& key, const QString& defaultValue);
void writeSetting(const QString& key, const QString& value);

// The host address the Internet connection asked for last ("Address" in "General").
QString lastHostAddress();
// The servers the NATS connection asked for last ("NatsServers" in "General").
QString lastNatsServers();
// Remembers the servers the user typed: as typed for this run, and in the settings
// file without the passwords of their URLs.
void rememberNatsServers(const QString& servers);

// Releases the service and puts every piece of state and every hook back to its
// start value.
void ResetSessionState();

} // namespace basGlobal
