#include "session/NetworkSessionService.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QStringList>
#include <QTemporaryDir>
#include <QTranslator>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Hosts a room on this machine as another copy would, for the screenshot of the
// room page.
std::unique_ptr<session::SessionService> hostRoom(const session::SessionConfig& config, const QString& name) {
    auto host = std::make_unique<session::NetworkSessionService>(config);
    const auto connections = host->listConnections();
    if (!connections || connections->count() == 0 || !host->initialize(connections->item(1).value())) {
        return nullptr;
    }
    session::RoomDescription room;
    room.applicationId = QString::fromUtf16(session::kApplicationId);
    room.name = name;
    room.numericAttribute = 4;
    if (!host->openRoom(room, session::OpenMode::CreateAndHost) ||
        !host->createLocalPlayer(u"ホスト"_s, u"Player 1 (Host)"_s, 0, 0)) {
        return nullptr;
    }
    return host;
}

// The hidden "--screenshot DIR" mode: walks the wizard's pages with a throw-away
// settings file and rooms hosted on loopback, and saves each page as
// DIR/setup-pageN.png.
int takeScreenshots(const QString& folder) {
    QTemporaryDir scratch;
    if (!scratch.isValid() || !QDir().mkpath(folder)) {
        return 1;
    }
    basGlobal::settingsPath = scratch.filePath(u"Mirelune.ini"_s);
    basGlobal::endProgramHook = [](int) {};
    session::SessionConfig config;
    config.loopbackDiscoveryOnly = true;
    basGlobal::serviceFactory = [config] { return std::make_unique<session::NetworkSessionService>(config); };

    std::vector<std::unique_ptr<session::SessionService>> hosts;
    for (const QString& name : {u"ロビー"_s, u"雑談部屋"_s}) {
        if (auto host = hostRoom(config, name)) {
            hosts.push_back(std::move(host));
        }
    }

    frmSet wizard;
    if (!wizard.Form_Load()) {
        return 1;
    }
    wizard.show();
    bool saved = true;
    for (int page = 0; page < 3; ++page) {
        QApplication::processEvents();
        saved = wizard.grab().save(QDir(folder).filePath(u"setup-page%1.png"_s.arg(page))) && saved;
        if (page < 2) {
            wizard.cmdNext_Click();
        }
    }
    basGlobal::ResetSessionState();
    for (auto& host : hosts) {
        host->close();
    }
    return saved ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Mirelune"_s);
    // The program ends on its own paths (wizard exit, chat window close), also while
    // only a message box is on screen.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's own dialogs and context menus in Japanese.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Japanese, QLocale::Japan), u"qtbase"_s, u"_"_s,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTranslator);
    }

    const QStringList arguments = QApplication::arguments();
    const qsizetype screenshot = arguments.indexOf(u"--screenshot"_s);
    if (screenshot > 0 && screenshot + 1 < arguments.size()) {
        return takeScreenshots(arguments.at(screenshot + 1));
    }

    int exitCode = 0;
    {
        frmSet wizard;
        frmMain::followWizard(wizard);
        if (wizard.Form_Load()) {
            wizard.show();
        }
        exitCode = QApplication::exec();
        basGlobal::ResetSessionState();
    }
    return exitCode;
}
