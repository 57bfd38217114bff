#include "window/ControlArrangement.h"

#include "window/MenuArea.h"

#include <gtest/gtest.h>

using namespace window;
using namespace Qt::StringLiterals;

namespace {

std::string describe(const QRect& r) {
    return std::to_string(r.left()) + "," + std::to_string(r.top()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height());
}

// Index of the one visible panel, -1 for none, -2 for several.
int visiblePanel(const ControlLayout& layout) {
    int visible = -1;
    for (int i = 0; i < kPanelCount; ++i) {
        if (layout[panelControl(i)].visible)
            visible = visible == -1 ? i : -2;
    }
    return visible;
}

TEST(ArrangeControls, PlacesEveryControlForTheWindowSize) {
    // Edges in twips as the window shows them: the message area runs from x = 2640
    // (menus shown) or 400 (hidden) to W - 130 or W - 140; the log from y = 720 to
    // H - 795, the entry from H - 675 to H - 390, the bottom strip from H - 270.
    const struct {
        int w, h;
        bool hidden;
        int messageLeft, messageRight;
        int logBottom, entryTop, entryBottom, footerTop;
        int stripLeft, stripHeight;
        int sendLeft, exitLeft;
    } cases[] = {
        {6780, 5400, false, 2640, 6650, 4605, 4725, 5010, 5130, 2240, 4860, 4520, 5650},
        {6780, 5400, true, 400, 6640, 4605, 4725, 5010, 5130, 0, 4860, 4520, 5650},
        {12000, 9000, false, 2640, 11870, 8205, 8325, 8610, 8730, 2240, 8460, 9740, 10870},
        {12000, 9000, true, 400, 11860, 8205, 8325, 8610, 8730, 0, 8460, 9740, 10870},
        // The smallest size that still arranges completely: log of height 0, a
        // message area of width 0.
        {2770, 1515, false, 2640, 2640, 720, 840, 1125, 1245, 2240, 975, 510, 1640},
        {540, 1515, true, 400, 400, 720, 840, 1125, 1245, 0, 975, -1720, -590},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.hidden ? " hidden" : " shown"));
        ControlLayout layout = ControlLayout::startup();
        const Arrangement a = ArrangeControls(layout, QSize(c.w, c.h), c.hidden, 1);
        ASSERT_TRUE(a.complete()) << a.stoppedAtStep;

        for (int i = 0; i < kPanelCount; ++i) {
            EXPECT_EQ(layout[panelControl(i)].rect, QRect(0, 270, 2230, c.stripHeight));
            EXPECT_EQ(layout[panelControl(i)].visible, !c.hidden && i == 1);
        }
        EXPECT_EQ(layout[Control::picButtons].rect, QRect(c.stripLeft, 270, 300, c.stripHeight));

        const int width = c.messageRight - c.messageLeft;
        EXPECT_EQ(layout[Control::lblMesTag].rect, QRect(c.messageLeft, 390, width, 255));
        EXPECT_EQ(layout[Control::txtLog].rect, QRect(c.messageLeft, 720, width, c.logBottom - 720))
            << describe(layout[Control::txtLog].rect);
        EXPECT_EQ(layout[Control::txtEntry].rect, QRect(c.messageLeft, c.entryTop, width, c.entryBottom - c.entryTop));
        EXPECT_EQ(layout[Control::picFooter].rect, QRect(0, c.footerTop, c.w, 270));
        EXPECT_EQ(c.footerTop + 270, c.h);

        // Exit ends at the right edge, Send ends where Exit begins.
        EXPECT_EQ(layout[Control::picSend].rect, QRect(c.sendLeft, 0, 1130, 270));
        EXPECT_EQ(layout[Control::picExit].rect, QRect(c.exitLeft, 0, 1130, 270));
        EXPECT_EQ(c.exitLeft + 1130, c.w);
        EXPECT_EQ(c.sendLeft + 1130, c.exitLeft);

        EXPECT_EQ(layout[Control::imgHeader].rect, QRect(0, 0, c.w, 270));
        EXPECT_EQ(layout[Control::imgFooter].rect, QRect(0, 0, c.w, 270));
        EXPECT_EQ(layout[Control::imgSpacer].rect, QRect(0, 0, 300, c.stripHeight));
        EXPECT_EQ(layout[Control::imgTerminator].rect, QRect(0, c.stripHeight - 30, 300, 30));
    }
}

TEST(ArrangeControls, ReportsControlsInTheOrderTheyArePlaced) {
    ControlLayout layout = ControlLayout::startup();
    const Arrangement a = ArrangeControls(layout, QSize(6780, 5400), false, 3);
    ASSERT_TRUE(a.complete());
    QStringList order;
    for (const Placement& p : a.placed)
        order.append(controlName(p.control));
    const QStringList expected{
        u"picRgn(0)"_s, u"picRgn(1)"_s, u"picRgn(2)"_s, u"picRgn(3)"_s, u"picButtons"_s,
        u"lblMesTag"_s, u"txtLog"_s,    u"txtEntry"_s,  u"picFooter"_s, u"picSend"_s,
        u"picExit"_s,   u"picRgn(0)"_s, u"picRgn(1)"_s, u"picRgn(2)"_s, u"picRgn(3)"_s,
        u"picRgn(3)"_s, u"imgHeader"_s, u"imgFooter"_s, u"imgSpacer"_s, u"imgTerminator"_s,
    };
    EXPECT_EQ(order, expected);
    // Applying the entries in order gives the final layout.
    ControlLayout replayed = ControlLayout::startup();
    for (const Placement& p : a.placed)
        replayed[p.control] = p.geometry;
    EXPECT_EQ(replayed, layout);
}

TEST(ArrangeControls, StopsAtTheFirstNegativeSizeAndKeepsTheRest) {
    const struct {
        const char* what;
        QSize size;
        bool hidden;
        int step;
        Control at;
        int visible; // the visible panel afterwards, -1 for none
        // Controls that must have kept the geometry of the earlier arrangement.
        std::vector<Control> kept;
    } cases[] = {
        {"lower than the bottom strip plus 270",
         QSize(6780, 539),
         false,
         1,
         Control::picRgn0,
         2,
         {Control::picButtons, Control::txtLog, Control::txtEntry, Control::picFooter, Control::picExit}},
        {"too low for the log",
         QSize(6780, 1514),
         false,
         6,
         Control::txtLog,
         -1,
         {Control::txtEntry, Control::picFooter, Control::picSend, Control::imgSpacer}},
        {"narrower than panel and strip plus 240",
         QSize(2769, 5400),
         false,
         4,
         Control::lblMesTag,
         -1,
         {Control::lblMesTag, Control::txtLog, Control::txtEntry, Control::picFooter, Control::picExit}},
        {"narrower than the strip plus 240",
         QSize(539, 5400),
         true,
         4,
         Control::lblMesTag,
         -1,
         {Control::txtLog, Control::txtEntry, Control::picFooter}},
        {"minimised", QSize(0, 0), true, 1, Control::picRgn0, 2, {Control::picButtons, Control::txtLog}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
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
        EXPECT_EQ(a.placed.first().control, Control::picRgn0);
        EXPECT_FALSE(a.placed.first().geometry.visible);
    }
}

TEST(ArrangeControls, StepsBeforeAStopKeepTheirNewValues) {
    ControlLayout layout = ControlLayout::startup();
    ASSERT_TRUE(ArrangeControls(layout, QSize(6780, 5400), false, 0).complete());

    // Too narrow with the menus shown: panels and tab strip were set for the new
    // height first.
    ASSERT_EQ(ArrangeControls(layout, QSize(2000, 3000), false, 0).stoppedAtStep, 4);
    for (int i = 0; i < kPanelCount; ++i)
        EXPECT_EQ(layout[panelControl(i)].rect.height(), 2460);
    EXPECT_EQ(layout[Control::picButtons].rect, QRect(2240, 270, 300, 2460));

    // Too low for the log: the log took its new left edge and width, not its height.
    ASSERT_EQ(ArrangeControls(layout, QSize(8000, 1000), true, 0).stoppedAtStep, 6);
    EXPECT_EQ(layout[Control::txtLog].rect, QRect(400, 720, 7460, 4605 - 720));
}

// The visible state a test expects after an operation of the menu area.
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
    EXPECT_EQ(menu.layout()[Control::txtLog].rect.left(), e.hidden ? 400 : 2640);
    EXPECT_EQ(menu.layout()[Control::picButtons].rect.left(), e.hidden ? 0 : 2240);
}

TEST(MenuArea, HidingAndShowingRestoresPanelAndArrangement) {
    for (int panel = 0; panel < kPanelCount; ++panel) {
        SCOPED_TRACE(panel);
        MenuArea menu;
        menu.Form_Resize(QSize(7000, 6000));
        menu.lblMenus_MouseUp(panel, kLeftButton);
        const ControlLayout shown = menu.layout();

        MenuChange hide = menu.imgHide_Click();
        ASSERT_TRUE(hide.arrangement);
        EXPECT_TRUE(menu.menusHidden());
        EXPECT_EQ(visiblePanel(menu.layout()), -1);
        EXPECT_EQ(menu.layout()[Control::txtLog].rect, QRect(400, 720, 6460, 6000 - 795 - 720));

        menu.imgHide_Click();
        EXPECT_EQ(menu.layout(), shown);
        EXPECT_EQ(menu.currentPanel(), panel);
    }
}

TEST(MenuArea, TabReleases) {
    const struct {
        const char* what;
        bool startHidden;
        int index;
        int button;
        MenuExpectation after;
        bool arranged;
    } cases[] = {
        {"left on tab 2 while shown", false, 2, kLeftButton, {false, 2, 2, 1875}, false},
        {"left on tab 3 while shown", false, 3, kLeftButton, {false, 3, 3, 2880}, false},
        {"left on tab 0 while shown", false, 0, kLeftButton, {false, 0, 0, -300}, false},
        {"left on tab 2 while hidden shows it", true, 2, kLeftButton, {false, 2, 2, 1875}, true},
        {"right while shown hides", false, 3, kRightButton, {true, 1, -1, 915}, true},
        {"right while hidden does nothing", true, 3, kRightButton, {true, 1, -1, 915}, false},
        {"middle does nothing", false, 2, 4, {false, 1, 1, 915}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MenuArea menu;
        menu.Form_Resize(QSize(6780, 5400));
        menu.lblMenus_MouseUp(1, kLeftButton);
        if (c.startHidden)
            menu.imgHide_Click();

        const MenuChange change = menu.lblMenus_MouseUp(c.index, c.button);
        expectMenu(menu, c.after);
        EXPECT_EQ(change.arrangement.has_value(), c.arranged);
        if (c.button == kLeftButton)
            EXPECT_EQ(change.imgSelectTop, c.after.imgSelectTop);
        else
            EXPECT_FALSE(change.imgSelectTop);
    }
}

TEST(MenuArea, ChangesReplayOntoWidgetsGiveTheSameLayout) {
    // The window applies each change's placements to its widgets; doing the same to
    // a copy must always end where the model is.
    MenuArea menu;
    ControlLayout widgets = ControlLayout::startup();
    const auto apply = [&](const MenuChange& change) {
        for (const Placement& p : change.placed)
            widgets[p.control] = p.geometry;
        EXPECT_EQ(widgets, menu.layout());
    };
    apply(menu.Form_Resize(QSize(6780, 5400)));
    apply(menu.lblMenus_MouseUp(2, kLeftButton));
    apply(menu.lblMenus_MouseUp(2, kRightButton));
    apply(menu.Form_Resize(QSize(9000, 7000)));
    apply(menu.lblMenus_MouseUp(3, kLeftButton));
    apply(menu.lblMenus_DblClick(3));
    apply(menu.imgHide_Click());
}

TEST(MenuArea, DoubleClickHidesOnlyAShownMenuArea) {
    MenuArea menu;
    menu.Form_Resize(QSize(6780, 5400));
    menu.lblMenus_MouseUp(2, kLeftButton);

    MenuChange hide = menu.lblMenus_DblClick(2);
    EXPECT_TRUE(hide.arrangement);
    expectMenu(menu, {true, 2, -1, 1875});

    MenuChange nothing = menu.lblMenus_DblClick(2);
    EXPECT_FALSE(nothing.arrangement);
    EXPECT_TRUE(nothing.placed.isEmpty());
    expectMenu(menu, {true, 2, -1, 1875});
}

TEST(MenuArea, PanelComesBackAfterAStoppedArrangement) {
    MenuArea menu;
    menu.Form_Resize(QSize(6780, 5400));
    menu.lblMenus_MouseUp(3, kLeftButton);

    // Stopped in the first step: only picRgn(0) was touched, panel 3 stays.
    MenuChange tooLow = menu.Form_Resize(QSize(6780, 300));
    ASSERT_TRUE(tooLow.arrangement);
    EXPECT_EQ(tooLow.arrangement->stoppedAtStep, 1);
    EXPECT_EQ(visiblePanel(menu.layout()), 3);

    // Stopped after all panels were hidden.
    MenuChange tooNarrow = menu.Form_Resize(QSize(1000, 5400));
    EXPECT_EQ(tooNarrow.arrangement->stoppedAtStep, 4);
    EXPECT_EQ(visiblePanel(menu.layout()), -1);

    MenuChange enlarged = menu.Form_Resize(QSize(6780, 5400));
    EXPECT_TRUE(enlarged.arrangement->complete());
    expectMenu(menu, {false, 3, 3, 2880});
}

} // namespace
