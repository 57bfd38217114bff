#pragma once

#include <QLabel>

class QMouseEvent;

namespace window {

// A label that reports the mouse the way the chat window's handlers want it: every
// press and release with its button (a release goes to the label that was pressed,
// wherever the pointer is then), a click only when the left button is released over
// the label, and double clicks. Without text or picture it is a transparent click
// area over the pictures below it.
class ClickLabel : public QLabel {
    Q_OBJECT

public:
    explicit ClickLabel(QWidget* parent = nullptr);

Q_SIGNALS:
    void mouseDown(Qt::MouseButton button);
    void mouseUp(Qt::MouseButton button);
    void clicked();
    void doubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // The press that began with a double click ends without a click of its own.
    bool m_doubleClickPress = false;
};

// The tab handlers and the shortcut table number the mouse buttons 1 (left) and
// 2 (right); other buttons are 4 (middle) and up.
int buttonNumber(Qt::MouseButton button);

} // namespace window
