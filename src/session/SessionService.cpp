#include "session/SessionService.h"

#include "session/net/RoomAddress.h"

#include <QMetaObject>

namespace session {

QStringList SessionService::hostingAddresses() const {
    const quint16 port = hostingPort();
    return port == 0 ? QStringList() : roomAddresses(port);
}

qint32 SessionService::registerEventReceiver(QObject* context, EventCallback callback) {
    const qint32 handle = m_nextHandle++;
    m_receivers.insert(handle, Receiver{QPointer<QObject>(context), std::move(callback)});
    return handle;
}

void SessionService::unregisterEventReceiver(qint32 handle) {
    m_receivers.remove(handle);
}

namespace {
// At most this many events per queued call, so that a burst of messages never keeps
// timers and painting waiting for long.
constexpr int kEventsPerBatch = 64;
} // namespace

void SessionService::raiseEvent(qint32 handle) {
    const auto it = m_receivers.find(handle);
    if (it == m_receivers.end() || it->context.isNull()) {
        return;
    }
    ++it->pending;
    if (!it->posted) {
        it->posted = true;
        postDelivery(handle, it->context.data());
    }
}

void SessionService::postDelivery(qint32 handle, QObject* context) {
    // Look the receiver up again at delivery time: it may have been unregistered, or
    // the service closed or destroyed, since the call was queued.
    QPointer<SessionService> self(this);
    QMetaObject::invokeMethod(
        context,
        [self, handle] {
            if (!self.isNull()) {
                self->deliverEvents(handle);
            }
        },
        Qt::QueuedConnection);
}

void SessionService::deliverEvents(qint32 handle) {
    const QPointer<SessionService> self(this);
    auto it = m_receivers.find(handle);
    if (it == m_receivers.end()) {
        return;
    }
    // Events raised from inside a callback (a nested event loop) get a call of their own.
    it->posted = false;
    for (int delivered = 0; delivered < kEventsPerBatch; ++delivered) {
        it = m_receivers.find(handle);
        if (it == m_receivers.end() || it->context.isNull() || !it->callback || it->pending == 0) {
            return;
        }
        --it->pending;
        const EventCallback callback = it->callback;
        callback(handle);
        // The callback may have unregistered the receiver, or closed or destroyed the service.
        if (self.isNull()) {
            return;
        }
    }
    it = m_receivers.find(handle);
    if (it != m_receivers.end() && it->pending > 0 && !it->posted && !it->context.isNull()) {
        it->posted = true;
        postDelivery(handle, it->context.data());
    }
}

void SessionService::dropEventReceivers() {
    m_receivers.clear();
}

} // namespace session
