#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace session {

// What `mirelune-room doctor --nats` finds on a cluster, step by step: whether a
// server answers, whether JetStream is on for this user, whether the user may do
// everything a room needs (the two buckets, a room's stream, storing and reading a
// record, the presence subject). Each step runs only when the one before it worked;
// a room made for the check is deleted again.
struct NatsFinding {
    enum class Step { Connect, JetStream, Buckets, Stream, Records, Presence };
    Step step;
    bool ok = false;
    QString detail; // what was found, or why it failed
};

QList<NatsFinding> checkNatsCluster(const QStringList& servers, const QString& credentialsFile);

} // namespace session
