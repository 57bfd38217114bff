#include "window/ControlArrangement.h"

#include "window/MenuArea.h"

#include <gtest/gtest.h>
#include <optional>
#include <tuple>

using namespace window;
using C = window::Control;

// Readable failure messages for rectangles.
void PrintTo(const QRect& r, std::ostream* out) {
    *out << r.x() << ',' << r.y() << ' ' << r.width() << 'x' << r.height();
}

namespace {

// Index of the one visible panel, -1 for none, -2 for several.
int visiblePanel(const ControlLayout& layout) {
    int visible = -1;
    for (int i = 0; i < kPanelCount; ++i)
        if (layout[panelControl(i)].visible)
            visible = visible == -1 ? i : -2;
    return visible;
}

TEST(ArrangeControls, PlacesEveryControlForTheWindowSize) {
    const std::tuple<int, int, bool> cases[] = {
        {6780, 5400, false},
        {6780, 5400, true},
        // The smallest sizes that still arrange completely: a log of height 0 and a
        // message area of width 0; Send and Exit stay at the right edge.
        {2770, 1515, false},
        {540, 1515, true},
    };
    for (const auto& [w, h, hidden] : cases) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + (hidden ? " hidden" : " shown"));
        ControlLayout layout = ControlLayout::startup();
        const Arrangement a = ArrangeControls(layout, QSize(w, h), hidden, 1);
        ASSERT_TRUE(a.complete()) << a.stoppedAtStep;

        // Edges in twips as the window shows them: the message area runs from x = 2640
        // (menus shown) or 400 (hidden) to W - 130 or W - 140; the log from y = 720 to
        // H - 795, the entry from H - 675 to H - 390, the bottom strip from H - 270;
        // panels and tab strip fill the height between header and bottom strip.
        const int left = hidden ? 400 : 2640;
        const int width = w - (hidden ? 140 : 130) - left;
        const int strip = h - 540;
        for (int i = 0; i < kPanelCount; ++i)
            EXPECT_EQ(layout[panelControl(i)], (ControlGeometry{QRect(0, 270, 2230, strip), !hidden && i == 1}));
        EXPECT_EQ(layout[C::picButtons].rect, QRect(hidden ? 0 : 2240, 270, 300, strip));
        EXPECT_EQ(layout[C::lblMesTag].rect, QRect(left, 390, width, 255));
        EXPECT_EQ(layout[C::txtLog].rect, QRect(left, 720, width, h - 795 - 720));
        EXPECT_EQ(layout[C::txtEntry].rect, QRect(left, h - 675, width, 285));
        EXPECT_EQ(layout[C::picFooter].rect, QRect(0, h - 270, w, 270));
        EXPECT_EQ(layout[C::picSend].rect, QRect(w - 2260, 0, 1130, 270));
        EXPECT_EQ(layout[C::picExit].rect, QRect(w - 1130, 0, 1130, 270));
        EXPECT_EQ(layout[C::imgHeader].rect, QRect(0, 0, w, 270));
        EXPECT_EQ(layout[C::imgFooter].rect, QRect(0, 0, w, 270));
        EXPECT_EQ(layout[C::imgSpacer].rect, QRect(0, 0, 300, strip));
        EXPECT_EQ(layout[C::imgTerminator].rect, QRect(0, strip - 30, 300, 30));
    }
}

TEST(ArrangeControls, StopsAtTheFirstNegativeSizeAndKeepsTheRest) {
    // After a complete arrangement at 6780 x 5400 with panel 2 shown: where the next
    // one stops, the visible panel afterwards (-1 for none), and controls that must
    // keep their geometry.
    const std::tuple<QSize, bool, int, Control, int, std::vector<Control>> cases[] = {
        // Lower than the bottom strip plus 270.
        {{6780, 539}, false, 1, C::picRgn0, 2, {C::picButtons, C::txtLog, C::txtEntry, C::picFooter, C::picExit}},
        {{6780, 1514}, false, 6, C::txtLog, -1, {C::txtEntry, C::picFooter, C::picSend, C::imgSpacer}},
        // Narrower than panel and strip plus 240, or than the strip alone plus 240.
        {{2769, 5400}, false, 4, C::lblMesTag, -1, {C::lblMesTag, C::txtLog, C::txtEntry, C::picFooter, C::picExit}},
        {{539, 5400}, true, 4, C::lblMesTag, -1, {C::txtLog, C::txtEntry, C::picFooter}},
        // Minimised.
        {{0, 0}, true, 1, C::picRgn0, 2, {C::picButtons, C::txtLog}},
    };
    for (const auto& [size, hidden, step, at, visible, kept] : cases) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        ControlLayout layout = ControlLayout::startup();
        ASSERT_TRUE(ArrangeControls(layout, QSize(6780, 5400), false, 2).complete());
        const ControlLayout before = layout;

        const Arrangement a = ArrangeControls(layout, size, hidden, 2);
        EXPECT_EQ(std::tuple(a.stoppedAtStep, a.stoppedAt, visiblePanel(layout)), std::tuple(step, at, visible));
        for (Control control : kept)
            EXPECT_EQ(layout[control], before[control]) << controlName(control).toStdString();
        ASSERT_FALSE(a.placed.isEmpty());
        EXPECT_TRUE(a.placed.first().control == C::picRgn0 && !a.placed.first().geometry.visible);
    }

    // The steps before a stop keep their new values. Too narrow with the menus shown:
    // panels and tab strip were set for the new height first.
    ControlLayout layout = ControlLayout::startup();
    ASSERT_EQ(ArrangeControls(layout, QSize(2000, 3000), false, 0).stoppedAtStep, 4);
    for (int i = 0; i < kPanelCount; ++i)
        EXPECT_EQ(layout[panelControl(i)].rect.height(), 2460);
    EXPECT_EQ(layout[C::picButtons].rect, QRect(2240, 270, 300, 2460));
    // Too low for the log: the log took its new left edge and width, not its height.
    ASSERT_TRUE(ArrangeControls(layout, QSize(6780, 5400), false, 0).complete());
    ASSERT_EQ(ArrangeControls(layout, QSize(8000, 1000), true, 0).stoppedAtStep, 6);
    EXPECT_EQ(layout[C::txtLog].rect, QRect(400, 720, 7460, 4605 - 720));
}

struct MenuExpectation {
    bool hidden;
    int panel;
    int visible; // the visible panel, -1 for none
    int imgSelectTop;
};

void expectMenu(const MenuArea& menu, const MenuExpectation& e) {
    EXPECT_EQ(std::tuple(menu.menusHidden(), menu.currentPanel(), visiblePanel(menu.layout()), menu.imgSelectTop()),
              std::tuple(e.hidden, e.panel, e.visible, e.imgSelectTop));
    EXPECT_EQ(menu.layout()[C::txtLog].rect.left(), e.hidden ? 400 : 2640);
    EXPECT_EQ(menu.layout()[C::picButtons].rect.left(), e.hidden ? 0 : 2240);
}

TEST(MenuArea, HideButtonTabReleasesAndDoubleClicks) {
    // what, starts hidden, tab, button (0 for a double click, -1 for the hide button),
    // menu afterwards, whether it arranged
    const std::tuple<const char*, bool, int, int, MenuExpectation, bool> cases[] = {
        {"left on tab 0 while shown", false, 0, kLeftButton, {false, 0, 0, -300}, false},
        {"left on tab 2 while hidden shows it", true, 2, kLeftButton, {false, 2, 2, 1875}, true},
        {"right while hidden does nothing", true, 3, kRightButton, {true, 1, -1, 915}, false},
        {"middle does nothing", false, 2, 4, {false, 1, 1, 915}, false},
        {"hide button while shown", false, 2, -1, {true, 1, -1, 915}, true},
        {"double click while shown hides", false, 2, 0, {true, 1, -1, 915}, true},
        {"double click while hidden does nothing", true, 2, 0, {true, 1, -1, 915}, false},
    };
    for (const auto& [what, startHidden, index, button, after, arranged] : cases) {
        SCOPED_TRACE(what);
        MenuArea menu;
        menu.Form_Resize(QSize(6780, 5400));
        menu.lblMenus_MouseUp(1, kLeftButton);
        if (startHidden)
            menu.imgHide_Click();

        const MenuChange change = button == -1  ? menu.imgHide_Click()
                                  : button == 0 ? menu.lblMenus_DblClick(index)
                                                : menu.lblMenus_MouseUp(index, button);
        expectMenu(menu, after);
        EXPECT_EQ(change.arrangement.has_value(), arranged);
        // Only a tab's left button moves the tab marker; a change that arranges nothing
        // places nothing.
        EXPECT_EQ(change.imgSelectTop, button == kLeftButton ? std::optional(after.imgSelectTop) : std::nullopt);
        EXPECT_TRUE(button == kLeftButton || arranged || change.placed.isEmpty());
    }
}

// The window applies each change's placements to its widgets, in order; doing the
// same to a copy must always end where the model is. A stopped arrangement hides the
// panels (or leaves them); a complete one brings the chosen panel back.
TEST(MenuArea, ChangesReplayOntoWidgetsGiveTheSameLayout) {
    MenuArea menu;
    ControlLayout widgets = ControlLayout::startup();
    const auto apply = [&](const MenuChange& change) {
        for (const Placement& p : change.placed)
            widgets[p.control] = p.geometry;
        EXPECT_EQ(widgets, menu.layout());
        return change.arrangement.value_or(Arrangement{}).stoppedAtStep;
    };
    apply(menu.Form_Resize(QSize(6780, 5400)));
    apply(menu.lblMenus_MouseUp(2, kLeftButton));
    apply(menu.lblMenus_MouseUp(2, kRightButton));
    apply(menu.Form_Resize(QSize(9000, 7000)));
    apply(menu.lblMenus_MouseUp(3, kLeftButton));
    apply(menu.lblMenus_DblClick(3));
    apply(menu.imgHide_Click());
    EXPECT_EQ(apply(menu.Form_Resize(QSize(6780, 300))), 1);
    EXPECT_EQ(apply(menu.Form_Resize(QSize(1000, 5400))), 4);
    apply(menu.Form_Resize(QSize(6780, 5400)));
    expectMenu(menu, {false, 3, 3, 2880});
}

} // namespace
