#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace session {

// Hands the pieces, in order, straight to the kernel in one write (small pieces copied
// together first, large ones gathered), without blocking. Returns how many bytes the
// kernel took (0 to the pieces' total); the caller keeps the rest, behind them, and must
// call this only when nothing of its own is still waiting to go out (HostSocket).
//
// A socket's own write buffer would copy every write and arm a write notifier until it
// is drained; with hundreds of members on one event loop that costs more than the
// writes themselves. Bytes that leave at once need neither, and a frame shared by
// every member of a broadcast is never copied.
qint64 sendNow(int descriptor, const QList<QByteArray>& pieces);

} // namespace session
