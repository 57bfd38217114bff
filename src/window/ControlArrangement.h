#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <array>
#include <cstddef>

namespace window {

// The controls of the chat window whose geometry the arrangement computes. Every
// other control keeps its design geometry inside one of these boxes.
enum class Control {
    picRgn0,
    picRgn1,
    picRgn2,
    picRgn3,
    picButtons,
    lblMesTag,
    txtLog,
    txtEntry,
    picFooter,
    picSend,
    picExit,
    imgHeader,
    imgFooter,
    imgSpacer,
    imgTerminator,
};
inline constexpr std::size_t kArrangedControlCount = 15;
inline constexpr int kPanelCount = 4;

// The control's name as the window's code knows it: "picRgn(2)", "txtLog", ...
QString controlName(Control control);

// The panel picRgn(index) for index 0 to 3.
Control panelControl(int index);

// Where a control is, in twips relative to its container's client area, and
// whether it is shown. Every box is without border, so outer and inner sizes agree.
struct ControlGeometry {
    QRect rect;
    bool visible = true;

    friend bool operator==(const ControlGeometry&, const ControlGeometry&) = default;
};

// The fixed measures of the window, in twips.
namespace layout {
inline constexpr int kWindowStartupOuterHeight = 5700;
inline constexpr int kHeaderHeight = 270;
inline constexpr int kPanelWidth = 2230;
inline constexpr int kTabStripWidth = 300;
inline constexpr int kTabStripShownLeft = 2240;
inline constexpr int kMessageAreaShownLeft = 2640;
inline constexpr int kMessageAreaHiddenLeft = 400;
inline constexpr int kMessageTagTop = 390;
inline constexpr int kMessageTagHeight = 255;
inline constexpr int kLogTop = 720;
inline constexpr int kEntryHeight = 285;
inline constexpr int kFooterHeight = 270;
inline constexpr int kPictureButtonWidth = 1130;
inline constexpr int kPictureButtonHeight = 270;
inline constexpr int kTerminatorHeight = 30;
// Out of sight above the bottom strip's visible area (the plain Send and Exit).
inline constexpr int kPlainButtonTop = -1000;
// The window is never made smaller than this inner size: below it the four tabs, the
// log with a few lines, the entry, and the Send and Exit buttons side by side would
// no longer all fit (the message area keeps 1800 wide beside the shown panel).
inline constexpr int kMinimumInnerWidth = kMessageAreaShownLeft + 1800 + 130 + 230;
inline constexpr int kMinimumInnerHeight = 4380;
} // namespace layout

// The geometry of all arranged controls, as the window holds it between
// arrangements.
class ControlLayout {
public:
    // The geometry the window applies once at start-up, before it is first shown:
    // the fixed parts are set, the arranged parts are zero until the first
    // arrangement; panel 0 is the visible panel.
    static ControlLayout startup();

    const ControlGeometry& operator[](Control control) const { return m_controls[index(control)]; }
    ControlGeometry& operator[](Control control) { return m_controls[index(control)]; }

    friend bool operator==(const ControlLayout&, const ControlLayout&) = default;

private:
    static std::size_t index(Control control) { return static_cast<std::size_t>(control); }

    std::array<ControlGeometry, kArrangedControlCount> m_controls{};
};

// One control as a step of the arrangement left it.
struct Placement {
    Control control;
    ControlGeometry geometry;

    friend bool operator==(const Placement&, const Placement&) = default;
};

struct Arrangement {
    // Every control the arrangement touched, in the order it touched them, each
    // with its geometry after that step; consecutive steps on one control make one
    // entry. Applying them in order to the widgets reproduces the arrangement.
    QList<Placement> placed;

    // 0 when every step ran; otherwise the step (1 to 12) that would have given
    // `stoppedAt` a negative width or height. Nothing from that point on was
    // changed: the remaining controls keep their previous geometry.
    int stoppedAtStep = 0;
    Control stoppedAt = Control::picRgn0;

    bool complete() const { return stoppedAtStep == 0; }
};

// Places the controls for a window of inner size `inner` (twips), for the menu area
// shown (`hidden` false) or hidden, with panel `currentPanel` as the one to show.
// `layout` is updated step by step. The window's geometry setters would clamp a
// negative size silently, so the arrangement stops at the first step that would
// produce one (a window lower or narrower than its fixed parts, or minimised) and
// leaves the rest for the next resize. Left edges may become negative (Send and
// Exit stay at the right end of a window narrower than both).
Arrangement ArrangeControls(ControlLayout& layout, QSize inner, bool hidden, int currentPanel);

// Panel visibility only: with the menu area shown, hide every panel in index order
// and show `currentPanel`; with it hidden, nothing changes. Returns the touched
// panels in order.
QList<Placement> ShowCurrentPanel(ControlLayout& layout, bool menusHidden, int currentPanel);

} // namespace window
