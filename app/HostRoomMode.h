#pragma once

#include <QString>

// The program's hidden "--host-room ROOM --handle NAME" mode, for running a hosted
// room without anybody at the keyboard (the benchmark does): the setup window's own
// steps run unseen, as a user's clicks would run them (the LAN connection, the handle
// name, New with the room's name and no password), and the chat window opens in the
// hosted room. Settings are read and written as on any start. Needs the application
// object; returns the process's exit code.
int hostRoomUnattended(const QString& roomName, const QString& handleName);
