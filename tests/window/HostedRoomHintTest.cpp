#include "common/FakeSessionService.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QLabel>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

class HostingFake : public testsupport::FakeSessionService {
public:
    quint16 port = 0;
    quint16 hostingPort() const override { return port; }
};

} // namespace

// Only a copy that hosts the room tells, on its version panel, where others reach it.
TEST(HostedRoomHint, VersionPanelNamesTheRoomPortOnlyWhenHosting) {
    for (const quint16 port : {quint16(47813), quint16(0)}) {
        QTemporaryDir dir;
        basGlobal::settingsPath = dir.filePath(u"Mirelune.ini"_s);
        auto service = std::make_unique<HostingFake>();
        service->port = port;
        basGlobal::sessionService = std::move(service);
        basGlobal::roomName = u"MyChatRoom"_s;
        auto window = std::make_unique<frmMain>();
        window->setProgramFolder(dir.path());
        window->Form_Load();
        const QString hint = window->Image1->toolTip();
        if (port != 0) {
            EXPECT_TRUE(hint.contains(u":47813"_s)) << hint.toStdString();
            EXPECT_EQ(window->picRgn[3]->toolTip(), hint);
        } else {
            EXPECT_TRUE(hint.isEmpty());
        }
        window.reset();
        basGlobal::ResetSessionState();
    }
}
