#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;

namespace window {

// Shows notices on the desktop through its notification service (the freedesktop
// Notifications interface on the session bus), each replacing the one shown before,
// so that no more than one of ours stands at a time. Where no service answers, the
// tray icon shows the message instead, when there is one. A click on a notice (its
// default action) raises `clicked`.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    explicit DesktopNotifications(QObject* parent = nullptr);
    ~DesktopNotifications() override;

    void setFallback(QSystemTrayIcon* tray);
    void show(const QString& summary, const QString& body);
    // Shows a notice and waits up to `timeoutMs` until the service has it: for what
    // the user should learn as the program ends. False when no service took it.
    bool showAndWait(const QString& summary, const QString& body, int timeoutMs);

Q_SIGNALS:
    void clicked();

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& action);

private:
    QList<QVariant> notifyArguments(const QString& summary, const QString& body) const;
    void showInTray(const QString& summary, const QString& body);

    QDBusConnection m_bus;
    QString m_connectionName;
    QPointer<QSystemTrayIcon> m_tray;
    uint m_shownId = 0;
    // Whether the service reads the body as markup; until it has said, it is taken
    // to, so that a member's "<" never becomes markup.
    bool m_bodyMarkup = true;
};

} // namespace window
