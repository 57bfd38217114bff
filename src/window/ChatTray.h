#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;

namespace window {

// The tray icon of an open room: the number of unread lines in its tooltip and on a
// badge over the icon, and a menu to show the window or quit. Nothing at all where
// the desktop has no tray (icon() is then null).
class ChatTray : public QObject {
    Q_OBJECT

public:
    explicit ChatTray(QObject* parent = nullptr);
    ~ChatTray() override;

    QSystemTrayIcon* icon() const { return m_icon; }
    void setCaption(const QString& caption);
    void setUnread(int unread);

    // The program's icon with `unread` drawn over it (none for 0).
    static QIcon badgeIcon(int unread);

Q_SIGNALS:
    void showWindowRequested();
    void quitRequested();

private:
    void refresh();

    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;
    QString m_caption;
    int m_unread = 0;
};

} // namespace window
