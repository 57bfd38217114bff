#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

class QTcpSocket;

namespace session {

// Hands the pieces, in order, straight to the kernel in one write (small pieces copied
// together first, large ones gathered) when the socket has nothing of its own waiting
// to go out, without blocking. Returns how many
// bytes the kernel took (0 to the pieces' total); the caller queues the rest on the
// socket as usual, behind them.
//
// A socket's own write buffer copies every write and arms its write notifier until it
// is drained; with hundreds of members on one event loop that costs more than the
// writes themselves. Bytes that leave at once need neither, and a frame shared by
// every member of a broadcast is never copied.
qint64 sendNow(QTcpSocket* socket, const QList<QByteArray>& pieces);
// The same for a descriptor whose caller knows nothing of its own is waiting.
qint64 sendNow(int descriptor, const QList<QByteArray>& pieces);

} // namespace session
