#include "common/FakeSessionService.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// A hosting copy whose router answers only after the window is open.
class MappedService : public testsupport::FakeSessionService {
public:
    session::PortMappingState mapping;
    session::PortMappingState portMapping() const override { return mapping; }
    void answer(session::PortMappingState state) {
        mapping = std::move(state);
        Q_EMIT portMappingChanged();
    }
};

TEST(PublicAddress, TheVersionPanelTellsTheRoutersAddressOnceItForwards) {
    QTemporaryDir dir;
    basGlobal::settingsPath = dir.filePath(u"Mirelune.ini"_s);
    auto owned = std::make_unique<MappedService>();
    MappedService& service = *owned;
    service.port = 47812;
    service.mapping.stage = session::PortMappingState::Stage::Asking;
    basGlobal::sessionService = std::move(owned);
    {
        frmMain window;
        window.setProgramFolder(dir.path());
        window.Form_Load();
        EXPECT_TRUE(window.Image1->toolTip().contains(u"ルーターに UPnP でポートの転送を頼んでいます"_s));

        service.answer({session::PortMappingState::Stage::Mapped, u"198.51.100.7"_s, 47811, {}, {}});
        EXPECT_TRUE(window.Image1->toolTip().contains(u"インターネットからの接続先:\n198.51.100.7:47811\n"_s))
            << window.Image1->toolTip().toStdString();
        EXPECT_TRUE(window.Image1->toolTip().contains(u":47812"_s)); // the LAN addresses stay
        EXPECT_EQ(window.picRgn[3]->toolTip(), window.Image1->toolTip());

        service.answer({session::PortMappingState::Stage::Failed, {}, 0, u"no router"_s, {}});
        EXPECT_TRUE(window.Image1->toolTip().contains(u"ルーターでこのポートの転送が必要です"_s));
    }
    basGlobal::ResetSessionState();
}

} // namespace
