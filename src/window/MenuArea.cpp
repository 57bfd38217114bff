#include "window/MenuArea.h"

namespace window {

std::optional<int> MenuArea::imgSelectTopFor(int index) {
    switch (index) {
    case 0:
        return -300;
    case 1:
        return 915;
    case 2:
        return 1875;
    case 3:
        return 2880;
    default:
        return std::nullopt;
    }
}

void MenuArea::merge(MenuChange& into, MenuChange from) {
    into.placed.append(from.placed);
    if (from.arrangement)
        into.arrangement = std::move(from.arrangement);
    if (from.imgSelectTop)
        into.imgSelectTop = from.imgSelectTop;
}

MenuChange MenuArea::arrange() {
    MenuChange change;
    Arrangement arrangement = ArrangeControls(m_layout, m_inner, m_menusHidden, m_currentPanel);
    change.placed = arrangement.placed;
    change.arrangement = std::move(arrangement);
    return change;
}

MenuChange MenuArea::Form_Resize(QSize inner) {
    m_inner = inner;
    return arrange();
}

MenuChange MenuArea::ShowCurrentPanel() {
    MenuChange change;
    change.placed = window::ShowCurrentPanel(m_layout, m_menusHidden, m_currentPanel);
    return change;
}

MenuChange MenuArea::imgHide_Click() {
    m_menusHidden = !m_menusHidden;
    return arrange();
}

MenuChange MenuArea::lblMenus_MouseUp(int index, int button) {
    MenuChange change;
    if (button == kLeftButton) {
        if (const auto top = imgSelectTopFor(index)) {
            m_imgSelectTop = *top;
            change.imgSelectTop = *top;
        }
        // Only a real tab becomes the current panel; any other index would leave
        // every panel hidden for good.
        if (index >= 0 && index < kPanelCount) {
            m_currentPanel = index;
            merge(change, ShowCurrentPanel());
        }
        if (m_menusHidden)
            merge(change, imgHide_Click());
    } else if (button == kRightButton) {
        if (!m_menusHidden)
            merge(change, imgHide_Click());
    }
    return change;
}

MenuChange MenuArea::lblMenus_DblClick(int /*index*/) {
    if (m_menusHidden)
        return {};
    return imgHide_Click();
}

} // namespace window
