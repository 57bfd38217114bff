#include "window/ControlArrangement.h"

using namespace Qt::StringLiterals;

namespace window {

QString controlName(Control control) {
    switch (control) {
    case Control::picRgn0:
        return u"picRgn(0)"_s;
    case Control::picRgn1:
        return u"picRgn(1)"_s;
    case Control::picRgn2:
        return u"picRgn(2)"_s;
    case Control::picRgn3:
        return u"picRgn(3)"_s;
    case Control::picButtons:
        return u"picButtons"_s;
    case Control::lblMesTag:
        return u"lblMesTag"_s;
    case Control::txtLog:
        return u"txtLog"_s;
    case Control::txtEntry:
        return u"txtEntry"_s;
    case Control::picFooter:
        return u"picFooter"_s;
    case Control::picSend:
        return u"picSend"_s;
    case Control::picExit:
        return u"picExit"_s;
    case Control::imgHeader:
        return u"imgHeader"_s;
    case Control::imgFooter:
        return u"imgFooter"_s;
    case Control::imgSpacer:
        return u"imgSpacer"_s;
    case Control::imgTerminator:
        return u"imgTerminator"_s;
    }
    return QString();
}

Control panelControl(int index) {
    return static_cast<Control>(static_cast<int>(Control::picRgn0) + index);
}

ControlLayout ControlLayout::startup() {
    using namespace layout;
    ControlLayout l;
    for (int i = 0; i < kPanelCount; ++i)
        l[panelControl(i)] = {QRect(0, kHeaderHeight, kPanelWidth, 0), i == 0};
    l[Control::picButtons] = {QRect(kTabStripShownLeft, kHeaderHeight, kTabStripWidth, 0), true};
    l[Control::lblMesTag] = {QRect(kMessageAreaShownLeft, kMessageTagTop, 0, kMessageTagHeight), true};
    l[Control::txtLog] = {QRect(kMessageAreaShownLeft, kLogTop, 0, 0), true};
    l[Control::txtEntry] = {QRect(kMessageAreaShownLeft, 0, 0, kEntryHeight), true};
    l[Control::picFooter] = {QRect(0, 0, 0, kFooterHeight), true};
    l[Control::picSend] = {QRect(0, 0, kPictureButtonWidth, kPictureButtonHeight), true};
    l[Control::picExit] = {QRect(0, 0, kPictureButtonWidth, kPictureButtonHeight), true};
    l[Control::imgHeader] = {QRect(0, 0, 0, kHeaderHeight), true};
    l[Control::imgFooter] = {QRect(0, 0, 0, kFooterHeight), true};
    l[Control::imgSpacer] = {QRect(0, 0, kTabStripWidth, 0), true};
    l[Control::imgTerminator] = {QRect(0, 0, kTabStripWidth, kTerminatorHeight), true};
    return l;
}

namespace {

// Writes single properties into the layout the way the window's setters would, and
// keeps the ordered record of touched controls. A negative size is refused and
// ends the arrangement.
class Arranger {
public:
    explicit Arranger(ControlLayout& layout) : m_layout(layout) {}

    void setStep(int step) { m_step = step; }
    bool stopped() const { return m_result.stoppedAtStep != 0; }
    Arrangement take() { return std::move(m_result); }

    void setVisible(Control c, bool visible) {
        m_layout[c].visible = visible;
        record(c);
    }
    void setLeft(Control c, int left) {
        m_layout[c].rect.moveLeft(left);
        record(c);
    }
    void setTop(Control c, int top) {
        m_layout[c].rect.moveTop(top);
        record(c);
    }
    bool setWidth(Control c, int width) {
        if (width < 0)
            return stop(c);
        m_layout[c].rect.setWidth(width);
        record(c);
        return true;
    }
    bool setHeight(Control c, int height) {
        if (height < 0)
            return stop(c);
        m_layout[c].rect.setHeight(height);
        record(c);
        return true;
    }

    // Changes made elsewhere (the panel switch), recorded as they were made.
    void recordAll(const QList<Placement>& placed) { m_result.placed.append(placed); }

    const QRect& rect(Control c) const { return m_layout[c].rect; }

private:
    bool stop(Control c) {
        m_result.stoppedAtStep = m_step;
        m_result.stoppedAt = c;
        return false;
    }
    void record(Control c) {
        if (!m_result.placed.isEmpty() && m_result.placed.last().control == c)
            m_result.placed.last().geometry = m_layout[c];
        else
            m_result.placed.append({c, m_layout[c]});
    }

    ControlLayout& m_layout;
    Arrangement m_result;
    int m_step = 0;
};

} // namespace

QList<Placement> ShowCurrentPanel(ControlLayout& layout, bool menusHidden, int currentPanel) {
    QList<Placement> placed;
    if (menusHidden)
        return placed;
    for (int i = 0; i < kPanelCount; ++i) {
        layout[panelControl(i)].visible = false;
        placed.append({panelControl(i), layout[panelControl(i)]});
    }
    if (currentPanel >= 0 && currentPanel < kPanelCount) {
        layout[panelControl(currentPanel)].visible = true;
        placed.append({panelControl(currentPanel), layout[panelControl(currentPanel)]});
    }
    return placed;
}

Arrangement ArrangeControls(ControlLayout& layout, QSize inner, bool hidden, int currentPanel) {
    using namespace layout;
    const int w = inner.width();
    const int h = inner.height();
    Arranger a(layout);

    // Boxes have no border: a box's inner size is its outer size.
    const auto footerHeight = [&] { return a.rect(Control::picFooter).height(); };

    a.setStep(1);
    for (int i = 0; i < kPanelCount; ++i) {
        a.setVisible(panelControl(i), false);
        if (!a.setHeight(panelControl(i), h - (footerHeight() + kHeaderHeight)))
            return a.take();
    }

    a.setStep(2);
    a.setLeft(Control::picButtons, hidden ? 0 : kTabStripShownLeft);
    if (!a.setHeight(Control::picButtons, h - (footerHeight() + kHeaderHeight)))
        return a.take();

    // Step 3: the message area's left edge and width.
    const int left = hidden ? kMessageAreaHiddenLeft : kMessageAreaShownLeft;
    const int tabStripWidth = a.rect(Control::picButtons).width();
    const int width =
        hidden ? w - (tabStripWidth + 120 + 120) : w - (a.rect(Control::picRgn0).width() + tabStripWidth + 120 + 120);

    a.setStep(4);
    a.setLeft(Control::lblMesTag, left);
    if (!a.setWidth(Control::lblMesTag, width))
        return a.take();

    a.setStep(5);
    a.setLeft(Control::txtLog, left);
    if (!a.setWidth(Control::txtLog, width))
        return a.take();

    a.setStep(6);
    if (!a.setHeight(Control::txtLog, h - (a.rect(Control::txtEntry).height() + 840 + 120 + footerHeight())))
        return a.take();

    const int logBottom = a.rect(Control::txtLog).top() + a.rect(Control::txtLog).height();

    a.setStep(7);
    a.setLeft(Control::txtEntry, left);
    a.setTop(Control::txtEntry, logBottom + 120);
    if (!a.setWidth(Control::txtEntry, width))
        return a.take();

    a.setStep(8);
    a.setTop(Control::picFooter, logBottom + 120 + a.rect(Control::txtEntry).height() + 120);
    if (!a.setWidth(Control::picFooter, w))
        return a.take();

    a.setStep(9);
    a.setLeft(Control::picSend, w - (a.rect(Control::picExit).width() + a.rect(Control::picSend).width()));
    a.setLeft(Control::picExit, w - a.rect(Control::picExit).width());

    a.setStep(10);
    a.recordAll(ShowCurrentPanel(layout, hidden, currentPanel));

    a.setStep(11);
    if (!a.setWidth(Control::imgHeader, w) || !a.setWidth(Control::imgFooter, a.rect(Control::picFooter).width()))
        return a.take();

    a.setStep(12);
    if (!a.setHeight(Control::imgSpacer, a.rect(Control::picButtons).height()))
        return a.take();
    a.setTop(Control::imgTerminator, a.rect(Control::picButtons).height() - a.rect(Control::imgTerminator).height());
    return a.take();
}

} // namespace window
