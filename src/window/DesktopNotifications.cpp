#include "window/DesktopNotifications.h"

#include "window/WindowLogging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

using namespace Qt::StringLiterals;

namespace window {

namespace {

const QString kService = u"org.freedesktop.Notifications"_s;
const QString kPath = u"/org/freedesktop/Notifications"_s;
const QString kInterface = u"org.freedesktop.Notifications"_s;
const QString kDefaultAction = u"default"_s;
// A notification service that does not answer within this is taken to be absent.
constexpr int kCallTimeoutMs = 2000;

QString escapedForMarkup(const QString& text) {
    return text.toHtmlEscaped();
}

} // namespace

DesktopNotifications::DesktopNotifications(QObject* parent)
    : QObject(parent),
      m_bus(QString()),
      m_connectionName(u"mirelune-notifications-%1"_s.arg(reinterpret_cast<quintptr>(this))) {
    // The bus named by the environment now, not the one the process may have
    // connected to before (a connection is kept for the whole run otherwise).
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    m_bus =
        address.isEmpty() ? QDBusConnection::sessionBus() : QDBusConnection::connectToBus(address, m_connectionName);
    if (!m_bus.isConnected()) {
        qCInfo(lcWindow) << "no session bus for notifications:" << m_bus.lastError().message();
        return;
    }
    // Qt's bus connects signals by the receiver's slot signature only.
    m_bus.connect(kService, kPath, kInterface, u"ActionInvoked"_s, this, SLOT(onActionInvoked(uint, QString)));
    const QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"GetCapabilities"_s);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<QStringList> reply = *call;
        if (reply.isValid()) {
            m_bodyMarkup = reply.value().contains(u"body-markup"_s);
        }
        call->deleteLater();
    });
}

DesktopNotifications::~DesktopNotifications() {
    if (m_bus.name() == m_connectionName) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

void DesktopNotifications::setFallback(QSystemTrayIcon* tray) {
    if (m_tray) {
        disconnect(m_tray, nullptr, this, nullptr);
    }
    m_tray = tray;
    if (tray) {
        connect(tray, &QSystemTrayIcon::messageClicked, this, &DesktopNotifications::clicked);
    }
}

QList<QVariant> DesktopNotifications::notifyArguments(const QString& summary, const QString& body) const {
    const QVariantMap hints{{u"category"_s, u"im.received"_s}, {u"desktop-entry"_s, u"org.mirelune.Mirelune"_s}};
    return {u"Mirelune"_s,
            m_shownId,
            u"org.mirelune.Mirelune"_s,
            summary,
            m_bodyMarkup ? escapedForMarkup(body) : body,
            QStringList{kDefaultAction, u"表示"_s},
            hints,
            -1};
}

void DesktopNotifications::show(const QString& summary, const QString& body) {
    if (!m_bus.isConnected()) {
        showInTray(summary, body);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_s);
    call.setArguments(notifyArguments(summary, body));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, summary, body](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<uint> reply = *done;
        if (reply.isValid()) {
            m_shownId = reply.value();
        } else {
            qCInfo(lcWindow) << "the notification service did not answer:" << reply.error().message();
            showInTray(summary, body);
        }
        done->deleteLater();
    });
}

bool DesktopNotifications::showAndWait(const QString& summary, const QString& body, int timeoutMs) {
    if (!m_bus.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, u"Notify"_s);
    call.setArguments(notifyArguments(summary, body));
    return m_bus.call(call, QDBus::Block, timeoutMs).type() == QDBusMessage::ReplyMessage;
}

void DesktopNotifications::showInTray(const QString& summary, const QString& body) {
    if (m_tray && m_tray->isVisible()) {
        m_tray->showMessage(summary, body);
    }
}

void DesktopNotifications::onActionInvoked(uint id, const QString& action) {
    // Every program's notices come by this signal; only a click on our latest counts.
    if (id != 0 && id == m_shownId && action == kDefaultAction) {
        Q_EMIT clicked();
    }
}

} // namespace window
