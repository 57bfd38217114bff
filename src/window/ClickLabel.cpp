#include "window/ClickLabel.h"

#include <QMouseEvent>

namespace window {

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    m_doubleClickPress = false;
    event->accept();
    Q_EMIT mouseDown(event->button());
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    const bool inside = rect().contains(event->position().toPoint());
    const bool click = event->button() == Qt::LeftButton && inside && !m_doubleClickPress;
    m_doubleClickPress = false;
    Q_EMIT mouseUp(event->button());
    if (click) {
        Q_EMIT clicked();
    }
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    m_doubleClickPress = true;
    Q_EMIT mouseDown(event->button());
    Q_EMIT doubleClicked();
}

int buttonNumber(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 4;
    default:
        return 0;
    }
}

} // namespace window
