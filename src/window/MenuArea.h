#pragma once

#include "window/ControlArrangement.h"

#include <QSize>
#include <optional>

namespace window {

// Mouse buttons as the tab handlers receive them.
inline constexpr int kLeftButton = 1;
inline constexpr int kRightButton = 2;

// What the window has to do to its widgets after an operation of the menu area.
struct MenuChange {
    // Geometry and visibility to apply, in order (see Arrangement::placed).
    QList<Placement> placed;
    // Set when an arrangement ran; how far it got.
    std::optional<Arrangement> arrangement;
    // The new top of imgSelect (twips), when it moved.
    std::optional<int> imgSelectTop;
};

// The menu area of the chat window (four panels, the tab strip and the hide
// button) and the geometry of the arranged controls, without widgets: the window
// forwards its events here and applies the returned changes to its widgets.
class MenuArea {
public:
    // The top of imgSelect for tab `index` (0 to 3): the slanted edge sits next to
    // the chosen tab; tab 0 has its edge drawn into the strip, so imgSelect goes out
    // of sight above it. No value for any other index.
    static std::optional<int> imgSelectTopFor(int index);
    static constexpr int kImgSelectStartTop = -300;

    bool menusHidden() const { return m_menusHidden; }
    int currentPanel() const { return m_currentPanel; }
    int imgSelectTop() const { return m_imgSelectTop; }
    QSize innerSize() const { return m_inner; }
    const ControlLayout& layout() const { return m_layout; }

    // The window's inner size in twips; arrangements use the last size given.
    void setInnerSize(QSize inner) { m_inner = inner; }

    // The window's size changed: arrange for the current menu state.
    MenuChange Form_Resize(QSize inner);

    // Makes panel currentPanel the only visible one, unless the menu area is hidden.
    MenuChange ShowCurrentPanel();

    // Hides a shown menu area, or shows a hidden one, and arranges accordingly.
    MenuChange imgHide_Click();

    // Mouse release on tab `index`: the left button chooses the tab's panel (and
    // shows a hidden menu area); the right button hides a shown menu area.
    MenuChange lblMenus_MouseUp(int index, int button);

    // Double click on a tab: hides a shown menu area; nothing when it is hidden.
    MenuChange lblMenus_DblClick(int index);

private:
    MenuChange arrange();
    static void merge(MenuChange& into, MenuChange from);

    ControlLayout m_layout = ControlLayout::startup();
    QSize m_inner;
    bool m_menusHidden = false;
    int m_currentPanel = 0;
    int m_imgSelectTop = kImgSelectStartTop;
};

} // namespace window
