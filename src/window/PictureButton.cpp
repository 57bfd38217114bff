#include "window/PictureButton.h"

#include "platform/Twips.h"
#include "window/ClickLabel.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>

using namespace Qt::StringLiterals;
using platform::twipsToPixels;

namespace window {

namespace {

// The frame inside the button box, in twips: from (x1, y1) to (x2, y2), and which
// colour the line has when the button is raised (true: light).
struct LinePlace {
    int x1, y1, x2, y2;
    bool lightWhenRaised;
};
constexpr std::array<LinePlace, 4> kLines = {{
    {120, 10, 120, 250, true},  // left
    {120, 10, 940, 10, true},   // top
    {960, 10, 960, 250, false}, // right
    {140, 240, 950, 240, false} // bottom
}};

QRect lineRect(const LinePlace& line) {
    const int x1 = twipsToPixels(line.x1);
    const int y1 = twipsToPixels(line.y1);
    const int x2 = twipsToPixels(line.x2);
    const int y2 = twipsToPixels(line.y2);
    // A line covers its first point up to, not including, its last one.
    return QRect(x1, y1, std::max(1, x2 - x1), std::max(1, y2 - y1));
}

} // namespace

FrameLine::FrameLine(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void FrameLine::setColour(const QColor& colour) {
    m_colour = colour;
    update();
}

void FrameLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), m_colour);
}

PictureButton::PictureButton(const QString& picturePath, const QString& name, const QString& clickName,
                             const QString& lineName, QWidget* parent)
    : QWidget(parent) {
    setObjectName(name);
    m_picture = new QLabel(this);
    m_picture->setPixmap(QPixmap(picturePath));
    m_picture->setGeometry(0, 0, twipsToPixels(1130), twipsToPixels(270));
    m_picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i] = new FrameLine(this);
        lines[i]->setObjectName(u"%1(%2)"_s.arg(lineName).arg(i));
        lines[i]->setGeometry(lineRect(kLines[i]));
    }
    showRaised();

    clickArea = new ClickLabel(this);
    clickArea->setObjectName(clickName);
    clickArea->setGeometry(0, 0, twipsToPixels(1120), twipsToPixels(270));
    connect(clickArea, &ClickLabel::mouseDown, this, [this] { showPressed(); });
    connect(clickArea, &ClickLabel::mouseUp, this, [this] { showRaised(); });
    connect(clickArea, &ClickLabel::clicked, this, &PictureButton::clicked);
}

bool PictureButton::looksPressed() const {
    return lines[0]->colour() == kShadow;
}

void PictureButton::showPressed() {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i]->setColour(kLines[i].lightWhenRaised ? kShadow : kLight);
    }
}

void PictureButton::showRaised() {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i]->setColour(kLines[i].lightWhenRaised ? kLight : kShadow);
    }
}

} // namespace window
