#pragma once

#include "transfer/FileTransfers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>

namespace room {

// The console's file transfers: the commands that offer, take, decline and cancel
// files, the notices as log lines on standard output, and progress lines (each
// opening with "progress ") on standard error at most once a second per transfer.
class RoomFiles : public QObject {
    Q_OBJECT

public:
    // `downloads` is where accepted files go, each under a free name; with
    // `acceptEvery` every offer is taken as it comes.
    RoomFiles(session::SessionService& service, QString downloads, bool acceptEvery, QObject* parent = nullptr);

    transfer::FileTransfers& engine() { return m_engine; }
    void setLocalPlayer(session::PlayerId id) { m_engine.setLocalPlayer(id); }

    // "/send PATH", "/get N", "/no N", "/cancel N": true when `line` was one of them
    // (and has been handled), false for anything else.
    bool command(const QString& line);
    // "/send PATH" after "/w NAME ": the file goes to `to` alone.
    void send(const QString& path, session::PlayerId to);

private:
    void get(int number);
    void onAdded(int number);
    void onChanged(int number);

    transfer::FileTransfers m_engine;
    QDir m_downloads;
    bool m_acceptEvery = false;
    QHash<int, qint64> m_lastProgress;
    QElapsedTimer m_clock;
};

} // namespace room
