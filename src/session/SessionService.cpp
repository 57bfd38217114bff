#include "session/SessionService.h"

#include <QMetaObject>

namespace session {

qint32 SessionService::registerEventReceiver(QObject* context, EventCallback callback) {
    const qint32 handle = m_nextHandle++;
    m_receivers.insert(handle, Receiver{QPointer<QObject>(context), std::move(callback)});
    return handle;
}

void SessionService::unregisterEventReceiver(qint32 handle) {
    m_receivers.remove(handle);
}

void SessionService::raiseEvent(qint32 handle) {
    if (!m_receivers.contains(handle)) {
        return;
    }
    QObject* context = m_receivers.value(handle).context;
    if (context == nullptr) {
        return;
    }
    // Look the receiver up again at delivery time: it may have been unregistered, or
    // the service closed or destroyed, since the event was queued.
    QPointer<SessionService> self(this);
    QMetaObject::invokeMethod(
        context,
        [self, handle] {
            if (self.isNull()) {
                return;
            }
            const auto it = self->m_receivers.constFind(handle);
            if (it == self->m_receivers.constEnd() || it->context.isNull() || !it->callback) {
                return;
            }
            const EventCallback callback = it->callback;
            callback(handle);
        },
        Qt::QueuedConnection);
}

void SessionService::dropEventReceivers() {
    m_receivers.clear();
}

} // namespace session
