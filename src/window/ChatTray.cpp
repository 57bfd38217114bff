#include "window/ChatTray.h"

#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace window {

ChatTray::ChatTray(QObject* parent) : QObject(parent) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_icon = new QSystemTrayIcon(badgeIcon(0), this);
    // A menu has no parent widget here; it goes with the tray.
    m_menu = new QMenu;
    connect(m_menu->addAction(u"ウィンドウを表示(&S)"_s), &QAction::triggered, this, &ChatTray::showWindowRequested);
    m_menu->addSeparator();
    connect(m_menu->addAction(u"終了(&X)"_s), &QAction::triggered, this, &ChatTray::quitRequested);
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            Q_EMIT showWindowRequested();
        }
    });
    refresh();
    m_icon->show();
}

ChatTray::~ChatTray() {
    delete m_menu;
}

void ChatTray::setCaption(const QString& caption) {
    m_caption = caption;
    refresh();
}

void ChatTray::setUnread(int unread) {
    if (unread == m_unread) {
        return;
    }
    m_unread = unread;
    if (m_icon) {
        m_icon->setIcon(badgeIcon(unread));
    }
    refresh();
}

void ChatTray::refresh() {
    if (!m_icon) {
        return;
    }
    m_icon->setToolTip(m_unread > 0 ? m_caption + u"\n未読 "_s + QString::number(m_unread) + u" 件"_s : m_caption);
}

QIcon ChatTray::badgeIcon(int unread) {
    QIcon icon;
    for (const int size : {32, 64}) {
        QPixmap picture(u":/pictures/mirelune-%1.png"_s.arg(size));
        if (unread > 0 && !picture.isNull()) {
            QPainter painter(&picture);
            painter.setRenderHint(QPainter::Antialiasing);
            const QRectF badge(size * 0.4, size * 0.4, size * 0.6, size * 0.6);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0xd0, 0x20, 0x20));
            painter.drawEllipse(badge);
            QFont font = painter.font();
            font.setBold(true);
            font.setPixelSize(static_cast<int>(size * (unread > 99 ? 0.25 : 0.36)));
            painter.setFont(font);
            painter.setPen(Qt::white);
            painter.drawText(badge, Qt::AlignCenter, unread > 99 ? u"99+"_s : QString::number(unread));
        }
        icon.addPixmap(picture);
    }
    return icon;
}

} // namespace window
