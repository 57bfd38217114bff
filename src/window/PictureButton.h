#pragma once

#include <QColor>
#include <QWidget>
#include <array>

class QLabel;

namespace window {

class ClickLabel;

// One straight line of a picture button's frame: a one-pixel bar whose colour
// changes between the raised and the pressed look.
class FrameLine : public QWidget {
    Q_OBJECT

public:
    explicit FrameLine(QWidget* parent = nullptr);
    QColor colour() const { return m_colour; }
    void setColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour;
};

// A picture button of the bottom strip (picSend, picExit): a box showing the
// button's picture, four frame lines (left, top, right, bottom) and a transparent
// click area over all of it. Pressing any mouse button shows the pressed frame,
// releasing it shows the raised frame again; clicked() follows only when the left
// button is released over the button.
class PictureButton : public QWidget {
    Q_OBJECT

public:
    static inline const QColor kLight = QColor(255, 255, 255);
    static inline const QColor kShadow = QColor(64, 64, 64);

    // `picturePath` is the button's picture; `name` the box's name ("picSend"),
    // `clickName` and `lineName` the names of the click area and the frame lines
    // ("lblSend", "linSend").
    PictureButton(const QString& picturePath, const QString& name, const QString& clickName, const QString& lineName,
                  QWidget* parent = nullptr);

    // The frame lines, indexed 0 left, 1 top, 2 right, 3 bottom.
    std::array<FrameLine*, 4> lines{};
    ClickLabel* clickArea = nullptr;

    bool looksPressed() const;

    void showPressed();
    void showRaised();

Q_SIGNALS:
    void clicked();

private:
    QLabel* m_picture = nullptr;
};

} // namespace window
