#include "PictureDrawing.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <array>

using namespace Qt::StringLiterals;

namespace generator {
namespace {

// One palette for the whole window: the window's pale blue, navy titles and the
// periwinkle of the bars that mark the selected panel.
const QColor kInk(24, 34, 96);
const QColor kEdge(142, 160, 198);
const QColor kAccent(128, 128, 255);
const QColor kAccentDeep(72, 72, 200);
const QColor kTabLight(246, 249, 254);
const QColor kTabShade(204, 218, 242);

QImage blank(int width, int height, const QColor& fill = Qt::white) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(fill);
    return image;
}

QFont gothic(qreal pixelSize, bool bold = false) {
    QFont font(u"IPAPGothic"_s);
    font.setFamilies({u"IPAPGothic"_s, u"IPAGothic"_s});
    font.setPixelSize(qRound(pixelSize));
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

// A strip that is stretched sideways (header, footer): it may vary only from top to
// bottom, or stretching would smear it.
QImage horizontalBand(int width, int height, const QColor& top, const QColor& bottom, const QColor& topLine,
                      const QColor& bottomLine) {
    QImage image = blank(width, height);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, height);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(image.rect(), g);
    p.setPen(topLine);
    p.drawLine(0, 0, width - 1, 0);
    p.setPen(bottomLine);
    p.drawLine(0, height - 1, width - 1, height - 1);
    return image;
}

QImage header() {
    return horizontalBand(18, 18, QColor(252, 253, 255), QColor(190, 208, 234), Qt::white, QColor(120, 140, 186));
}

// The footer's face, shared by the Send and Exit pictures so that they sit in the
// strip without a seam.
void paintFooter(QPainter& p, int width, int height) {
    QLinearGradient g(0, 0, 0, height);
    g.setColorAt(0, QColor(226, 235, 248));
    g.setColorAt(1, QColor(196, 212, 236));
    p.fillRect(0, 0, width, height, g);
    p.setPen(QColor(150, 168, 204));
    p.drawLine(0, 0, width - 1, 0);
}

QImage footer() {
    QImage image = blank(18, 18);
    QPainter p(&image);
    paintFooter(p, 18, 18);
    return image;
}

// A picture button: the face between the frame lines the window draws over it
// (x 8 to 64, y 1 to 16) and the caption with its access letter underlined.
QImage pictureButton(const QString& before, const QString& accessLetter, const QString& after) {
    QImage image = blank(75, 18);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    paintFooter(p, 75, 18);
    QLinearGradient face(0, 1, 0, 16);
    face.setColorAt(0, QColor(252, 253, 255));
    face.setColorAt(0.5, QColor(234, 241, 251));
    face.setColorAt(1, QColor(212, 225, 244));
    p.fillRect(QRectF(8, 1, 57, 16), face);

    const QFont font = gothic(12);
    const QFontMetricsF metrics(font);
    const qreal w1 = metrics.horizontalAdvance(before);
    const qreal w2 = metrics.horizontalAdvance(accessLetter);
    const qreal w3 = metrics.horizontalAdvance(after);
    const qreal left = 8 + (57 - (w1 + w2 + w3)) / 2;
    const qreal baseline = 1 + (16 - metrics.height()) / 2 + metrics.ascent();
    p.setFont(font);
    p.setPen(kInk);
    p.drawText(QPointF(qRound(left), baseline), before);
    p.drawText(QPointF(qRound(left) + w1, baseline), accessLetter);
    p.drawText(QPointF(qRound(left) + w1 + w2, baseline), after);
    p.setRenderHint(QPainter::Antialiasing, false);
    const int underlineY = qMin(15, qRound(baseline) + 1);
    p.drawLine(qRound(left + w1), underlineY, qRound(left + w1 + w2) - 1, underlineY);
    return image;
}

// The tab strip. The window lays it out in twips; in pixels of the 283-pixel tab
// picture the click areas of the four tabs are rows 4-45, 60-109, 124-173 and
// 188-269, and the selected-tab edge is placed over rows 41, 105 and 172 (18 rows
// each) for tabs 1 to 3. Each boundary between two tabs is one slanted edge inside
// those 18 rows; tab 0 starts at the top, under the hide icon.
constexpr int kStripWidth = 20;
constexpr int kMenuBaseHeight = 283;
constexpr int kEdgeHeight = 18;
constexpr std::array<int, 4> kEdgeTops = {41, 105, 172, 265}; // the last one closes tab 3

void paintStripBackground(QPainter& p, int height) {
    QLinearGradient g(0, 0, kStripWidth, 0);
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, QColor(238, 243, 251));
    p.fillRect(0, 0, kStripWidth, height, g);
}

// Tabs without captions, so that the selected-tab edge can be cut from it.
QImage tabStripBase() {
    QImage image = blank(kStripWidth, kMenuBaseHeight);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paintStripBackground(p, kMenuBaseHeight);

    QLinearGradient fill(0, 0, kStripWidth, 0);
    fill.setColorAt(0, kTabLight);
    fill.setColorAt(1, kTabShade);
    int top = 0;
    for (size_t i = 0; i < kEdgeTops.size(); ++i) {
        const qreal y0 = top;
        const qreal y1 = kEdgeTops[i];
        // The tab's outline: its top edge slants down to the right (tab 0 is flat
        // under the hide icon), its right side is straight, its bottom is the next
        // slanted edge.
        QPainterPath tab;
        if (i == 0) {
            tab.moveTo(0, y0);
            tab.lineTo(18.5, y0);
        } else {
            tab.moveTo(0, y0 + 0.5);
            tab.lineTo(18.5, y0 + kEdgeHeight - 2);
        }
        tab.lineTo(18.5, y1 + kEdgeHeight - 2);
        tab.lineTo(0, y1 + 0.5);
        tab.closeSubpath();
        p.fillPath(tab, fill);
        p.setPen(QPen(kEdge, 1));
        p.drawPath(tab);
        top = kEdgeTops[i];
    }
    return image;
}

void drawVerticalCaption(QPainter& p, const QString& caption, qreal centreY, qreal advance) {
    const QFont font = gothic(11);
    p.setFont(font);
    p.setPen(kInk);
    const qreal top = centreY - advance * caption.size() / 2;
    for (qsizetype k = 0; k < caption.size(); ++k) {
        const QChar c = caption.at(k);
        const QRectF cell(0, top + advance * k, 19, advance);
        p.save();
        if (c == u'ー') {
            // The long vowel mark runs along the line, so it turns with the writing.
            p.translate(cell.center());
            p.rotate(90);
            p.drawText(QRectF(-advance / 2, -advance / 2, advance, advance), Qt::AlignCenter, QString(c));
        } else {
            // Small kana sit in the upper right of their cell when written vertically.
            const bool small = QStringView(u"ァィゥェォッャュョヮ").contains(c);
            p.drawText(small ? cell.translated(2, -2.5) : cell, Qt::AlignCenter, QString(c));
        }
        p.restore();
    }
}

QImage menuBase() {
    QImage image = tabStripBase();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // Each caption centred in its tab, between the slanted edges.
    drawVerticalCaption(p, u"参加者"_s, 25, 12);
    drawVerticalCaption(p, u"拡張送信"_s, 84, 12);
    drawVerticalCaption(p, u"オプション"_s, 148.5, 10);
    drawVerticalCaption(p, u"バージョン情報"_s, 228.5, 11);
    return image;
}

// The selected tab's edge, laid over the boundary above that tab: the same slant,
// drawn as the front edge in the accent colour that the panel's bar continues.
QImage selectedEdge() {
    QImage image = tabStripBase().copy(0, kEdgeTops[0], kStripWidth, kEdgeHeight);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath below;
    below.moveTo(0, 0.5);
    below.lineTo(18.5, kEdgeHeight - 2);
    below.lineTo(18.5, kEdgeHeight);
    below.lineTo(0, kEdgeHeight);
    below.closeSubpath();
    QLinearGradient fill(0, 0, kStripWidth, 0);
    fill.setColorAt(0, Qt::white);
    fill.setColorAt(1, QColor(228, 234, 252));
    p.fillPath(below, fill);
    p.setPen(QPen(kAccent, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(0.5, 1.2), QPointF(18.5, kEdgeHeight - 1.5));
    p.setPen(QPen(kAccentDeep, 1));
    p.drawLine(QPointF(18.5, kEdgeHeight - 2), QPointF(18.5, kEdgeHeight));
    p.fillRect(QRectF(0, 1, 2, kEdgeHeight - 1), kAccent);
    return image;
}

QImage spacer() {
    QImage image = blank(kStripWidth, 3);
    QPainter p(&image);
    paintStripBackground(p, 3);
    return image;
}

QImage terminator() {
    QImage image = blank(kStripWidth, 2);
    QPainter p(&image);
    p.fillRect(0, 0, kStripWidth, 1, kEdge);
    p.fillRect(0, 1, kStripWidth, 1, QColor(196, 208, 232));
    return image;
}

// The hide/show button: a small window with its side panel, the usual sign for
// "panel on or off", so it reads right in both states.
QImage hideIcon() {
    QImage image = blank(20, 20);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    paintStripBackground(p, 20);
    QLinearGradient face(0, 1, 0, 19);
    face.setColorAt(0, QColor(236, 242, 252));
    face.setColorAt(1, QColor(188, 204, 236));
    p.setPen(QPen(QColor(112, 132, 182), 1));
    p.setBrush(face);
    p.drawRoundedRect(QRectF(1.5, 1.5, 17, 17), 3, 3);
    p.setPen(QPen(kInk, 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 6.5, 9, 7));
    p.fillRect(QRectF(6, 7, 3, 6), kAccent);
    return image;
}

// A thin crescent: a disc with a second, offset disc cut from it.
void drawCrescent(QPainter& p, const QPointF& centre, qreal radius) {
    QPainterPath moon;
    moon.addEllipse(centre, radius, radius);
    QPainterPath bite;
    bite.addEllipse(centre + QPointF(radius * 0.45, -radius * 0.3), radius * 0.9, radius * 0.9);
    QRadialGradient glow(centre - QPointF(radius * 0.4, -radius * 0.2), radius * 1.4);
    glow.setColorAt(0, QColor(255, 246, 200));
    glow.setColorAt(1, QColor(236, 196, 96));
    p.fillPath(moon.subtracted(bite), glow);
}

QImage versionPicture(const QString& version) {
    QImage image = blank(127, 303);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, 303);
    sky.setColorAt(0, QColor(36, 46, 120));
    sky.setColorAt(0.45, QColor(100, 112, 214));
    sky.setColorAt(1, QColor(188, 198, 244));
    p.setPen(QPen(QColor(90, 100, 170), 1));
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(0.5, 0.5, 126, 302), 6, 6);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 200));
    const std::array<QPointF, 7> stars = {QPointF(20, 18), QPointF(104, 14), QPointF(96, 62), QPointF(16, 74),
                                          QPointF(36, 38), QPointF(112, 96), QPointF(12, 120)};
    for (size_t i = 0; i < stars.size(); ++i)
        p.drawEllipse(stars[i], i % 3 == 0 ? 1.3 : 0.8, i % 3 == 0 ? 1.3 : 0.8);
    drawCrescent(p, QPointF(64, 42), 22);

    // The name and the version run from top to bottom, as the tab captions do.
    QFont title(u"DejaVu Serif"_s);
    title.setPixelSize(38);
    title.setItalic(true);
    title.setStyleStrategy(QFont::PreferAntialias);
    p.save();
    p.translate(60, 84);
    p.rotate(90);
    p.setFont(title);
    p.setPen(QColor(20, 24, 70, 150));
    p.drawText(QPointF(1.5, 1.5), u"Mirelune"_s);
    p.setPen(Qt::white);
    p.drawText(QPointF(0, 0), u"Mirelune"_s);
    p.restore();

    QFont small(u"DejaVu Sans"_s);
    small.setPixelSize(12);
    small.setStyleStrategy(QFont::PreferAntialias);
    const QString versionText = u"Version "_s + version;
    const qreal width = QFontMetricsF(small).horizontalAdvance(versionText);
    p.save();
    p.translate(96, 292 - width);
    p.rotate(90);
    p.setFont(small);
    p.setPen(kInk);
    p.drawText(QPointF(0, 0), versionText);
    p.restore();
    return image;
}

} // namespace

std::vector<Picture> drawPictures(const QString& version) {
    return {
        {u"header.png"_s, header()},
        {u"footer.png"_s, footer()},
        {u"menubase.png"_s, menuBase()},
        {u"select.png"_s, selectedEdge()},
        {u"hide.png"_s, hideIcon()},
        {u"terminator.png"_s, terminator()},
        {u"spacer.png"_s, spacer()},
        {u"send.png"_s, pictureButton(u"送信("_s, u"A"_s, u")"_s)},
        {u"exit.png"_s, pictureButton(u"終了("_s, u"X"_s, u")"_s)},
        {u"version.png"_s, versionPicture(version)},
    };
}

} // namespace generator
