#include "window/ControlArrangement.h"

#include "window/MenuArea.h"

#include <gtest/gtest.h>
#include <optional>

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
    const struct {
        int w, h;
        bool hidden;
    } cases[] = {
        {6780, 5400, false},
        {6780, 5400, true},
        // The smallest sizes that still arrange completely: a log of height 0 and a
        // message area of width 0; Send and Exit stay at the right edge.
        {2770, 1515, false},
        {540, 1515, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.hidden ? " hidden" : " shown"));
        ControlLayout layout = ControlLayout::startup();
        const Arrangement a = ArrangeControls(layout, QSize(c.w, c.h), c.hidden, 1);
        ASSERT_TRUE(a.complete()) << a.stoppedAtStep;

        // Edges in twips as the window shows them: the message area runs from x = 2640
        // (menus shown) or 400 (hidden) to W - 130 or W - 140; the log from y = 720 to
        // H - 795, the entry from H - 675 to H - 390, the bottom strip from H - 270;
        // panels and tab strip fill the height between header and bottom strip.
        const int left = c.hidden ? 400 : 2640;
        const int width = c.w - (c.hidden ? 140 : 130) - left;
        const int strip = c.h - 540;
        for (int i = 0; i < kPanelCount; ++i)
            EXPECT_EQ(layout[panelControl(i)], (ControlGeometry{QRect(0, 270, 2230, strip), !c.hidden && i == 1}));
        EXPECT_EQ(layout[C::picButtons].rect, QRect(c.hidden ? 0 : 2240, 270, 300, strip));
        EXPECT_EQ(layout[C::lblMesTag].rect, QRect(left, 390, width, 255));
        EXPECT_EQ(layout[C::txtLog].rect, QRect(left, 720, width, c.h - 795 - 720));
        EXPECT_EQ(layout[C::txtEntry].rect, QRect(left, c.h - 675, width, 285));
        EXPECT_EQ(layout[C::picFooter].rect, QRect(0, c.h - 270, c.w, 270));
        EXPECT_EQ(layout[C::picSend].rect, QRect(c.w - 2260, 0, 1130, 270));
        EXPECT_EQ(layout[C::picExit].rect, QRect(c.w - 1130, 0, 1130, 270));
        EXPECT_EQ(layout[C::imgHeader].rect, QRect(0, 0, c.w, 270));
        EXPECT_EQ(layout[C::imgFooter].rect, QRect(0, 0, c.w, 270));
        EXPECT_EQ(layout[C::imgSpacer].rect, QRect(0, 0, 300, strip));
        EXPECT_EQ(layout[C::imgTerminator].rect, QRect(0, strip - 30, 300, 30));
    }
}

TEST(ArrangeControls, StopsAtTheFirstNegativeSizeAndKeepsTheRest) {
    // After a complete arrangement at 6780 x 5400 with panel 2 shown: where the next
    // one stops, the visible panel afterwards (-1 for none), and controls that must
    // keep their geometry.
    const struct {
        QSize size;
        bool hidden;
        int step;
        Control at;
        int visible;
        std::vector<Control> kept;
    } cases[] = {
        // Lower than the bottom strip plus 270.
        {{6780, 539}, false, 1, C::picRgn0, 2, {C::picButtons, C::txtLog, C::txtEntry, C::picFooter, C::picExit}},
        {{6780, 1514}, false, 6, C::txtLog, -1, {C::txtEntry, C::picFooter, C::picSend, C::imgSpacer}},
        // Narrower than panel and strip plus 240, or than the strip alone plus 240.
        {{2769, 5400}, false, 4, C::lblMesTag, -1, {C::lblMesTag, C::txtLog, C::txtEntry, C::picFooter, C::picExit}},
        {{539, 5400}, true, 4, C::lblMesTag, -1, {C::txtLog, C::txtEntry, C::picFooter}},
        // Minimised.
        {{0, 0}, true, 1, C::picRgn0, 2, {C::picButtons, C::txtLog}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size.width()) + "x" + std::to_string(c.size.height()));
        ControlLayout layout = ControlLayout::startup();
        ASSERT_TRUE(ArrangeControls(layout, QSize(6780, 5400), false, 2).complete());
        const ControlLayout before = layout;

        const Arrangement a = ArrangeControls(layout, c.size, c.hidden, 2);
        EXPECT_EQ(a.stoppedAtStep, c.step);
        EXPECT_EQ(a.stoppedAt, c.at);
        for (Control kept : c.kept)
            EXPECT_EQ(layout[kept], before[kept]) << controlName(kept).toStdString();
        EXPECT_EQ(visiblePanel(layout), c.visible);
        ASSERT_FALSE(a.placed.isEmpty());
        EXPECT_EQ(a.placed.first().control, C::picRgn0);
        EXPECT_FALSE(a.placed.first().geometry.visible);
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
    EXPECT_EQ(menu.menusHidden(), e.hidden);
    EXPECT_EQ(menu.currentPanel(), e.panel);
    EXPECT_EQ(visiblePanel(menu.layout()), e.visible);
    EXPECT_EQ(menu.imgSelectTop(), e.imgSelectTop);
    EXPECT_EQ(menu.layout()[C::txtLog].rect.left(), e.hidden ? 400 : 2640);
    EXPECT_EQ(menu.layout()[C::picButtons].rect.left(), e.hidden ? 0 : 2240);
}

TEST(MenuArea, HideButtonTabReleasesAndDoubleClicks) {
    const struct {
        const char* what;
        bool startHidden;
        int index;
        int button; // 0 for a double click, -1 for the hide button
        MenuExpectation after;
        bool arranged;
    } cases[] = {
        {"left on tab 0 while shown", false, 0, kLeftButton, {false, 0, 0, -300}, false},
        {"left on tab 2 while hidden shows it", true, 2, kLeftButton, {false, 2, 2, 1875}, true},
        {"right while hidden does nothing", true, 3, kRightButton, {true, 1, -1, 915}, false},
        {"middle does nothing", false, 2, 4, {false, 1, 1, 915}, false},
        {"hide button while shown", false, 2, -1, {true, 1, -1, 915}, true},
        {"double click while shown hides", false, 2, 0, {true, 1, -1, 915}, true},
        {"double click while hidden does nothing", true, 2, 0, {true, 1, -1, 915}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MenuArea menu;
        menu.Form_Resize(QSize(6780, 5400));
        menu.lblMenus_MouseUp(1, kLeftButton);
        if (c.startHidden)
            menu.imgHide_Click();

        const MenuChange change = c.button == -1  ? menu.imgHide_Click()
                                  : c.button == 0 ? menu.lblMenus_DblClick(c.index)
                                                  : menu.lblMenus_MouseUp(c.index, c.button);
        expectMenu(menu, c.after);
        EXPECT_EQ(change.arrangement.has_value(), c.arranged);
        // Only a tab's left button moves the tab marker; a change that arranges nothing
        // places nothing.
        EXPECT_EQ(change.imgSelectTop, c.button == kLeftButton ? std::optional(c.after.imgSelectTop) : std::nullopt);
        EXPECT_TRUE(c.button == kLeftButton || c.arranged || change.placed.isEmpty());
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
