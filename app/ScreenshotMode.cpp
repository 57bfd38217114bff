#include "ScreenshotMode.h"

#include "chat/ChatController.h"
#include "chat/ChatMessage.h"
#include "session/NetworkSessionService.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/EntryBox.h"
#include "window/FindBar.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Hosts a room on this machine as another copy would, for the screenshot of the
// room page.
std::unique_ptr<session::SessionService> hostRoom(const session::SessionConfig& config, const QString& name,
                                                  const QString& playerName = u"ホスト"_s) {
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
        !host->createLocalPlayer(playerName, u"Player 1 (Host)"_s, 0, 0)) {
        return nullptr;
    }
    return host;
}

// Joins the room `name` found on loopback as `playerName`; the player's id, or 0.
session::PlayerId joinRoom(session::SessionService& service, const QString& name, const QString& playerName,
                           qint32 eventHandle = 0) {
    const auto connections = service.listConnections();
    if (!connections || connections->count() == 0 || !service.initialize(connections->item(1).value())) {
        return 0;
    }
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    const auto rooms = service.listRooms(query, 0);
    if (!rooms) {
        return 0;
    }
    for (const session::RoomDescription& room : rooms->items()) {
        if (room.name == name && service.openRoom(room, session::OpenMode::Join)) {
            return service.createLocalPlayer(playerName, u"Player"_s, eventHandle, 0).valueOr(0);
        }
    }
    return 0;
}

// Lets the windows catch up: a log box brings a burst of lines up to date a screen
// frame later.
void settle() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 40) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

bool waitFor(const std::function<bool()>& done, qint64 timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return done();
}

// Saves the notice the notification service shows at the top right of the screen:
// the part of it that is not the bare (black) screen.
bool saveNotice(const QString& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area(screen->geometry().width() / 2, 0, screen->geometry().width() / 2,
                     screen->geometry().height() / 3);
    const QImage shot = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
    QRect drawn;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if ((shot.pixel(x, y) & 0xffffffu) != 0) {
                drawn |= QRect(x, y, 1, 1);
            }
        }
    }
    if (drawn.isEmpty()) {
        return false;
    }
    return shot.copy(drawn.adjusted(-4, -4, 4, 4)).save(path);
}

// Opens the chat window in a room hosted on loopback by another copy (花子), with a
// third copy joining, a few lines in the log, and saves it with each panel shown
// (chat-panelN.png), with the menu area hidden (chat-hidden.png), with the find bar
// open (chat-find.png) and, where a notification service runs, the notice of lines
// arriving while another window is active (chat-notice.png).
bool takeChatScreenshots(const QString& folder, const session::SessionConfig& config) {
    const QString roomName = u"雑談部屋"_s;
    std::unique_ptr<session::SessionService> host = hostRoom(config, roomName, u"花子"_s);
    if (!host) {
        return false;
    }
    const auto hostPlayers = host->listPlayers();
    const session::PlayerId hostId = hostPlayers && hostPlayers->count() > 0 ? hostPlayers->items().first().id : 0;

    basGlobal::sessionService = basGlobal::serviceFactory();
    basGlobal::RegisterEventReceiver();
    basGlobal::localPlayerName = u"太郎"_s;
    basGlobal::roomName = roomName;
    basGlobal::localPlayerId =
        joinRoom(*basGlobal::sessionService, roomName, basGlobal::localPlayerName, basGlobal::eventHandle);
    if (basGlobal::localPlayerId == 0) {
        return false;
    }

    auto* window = new frmMain;
    window->Form_Load();
    window->show();
    const auto say = [&](const QString& text) {
        static_cast<void>(
            host->send(hostId, session::kEveryone, chat::ChatMessage{chat::ChatKind::Public, text}.toMessage()));
    };
    say(u"こんばんは、ようこそ！"_s);
    waitFor([&] { return window->controller()->log().text().count(u'\n') >= 1; });
    window->txtEntry->setPlainText(u"こんばんは。今日は何の話をしましょうか (^_^)"_s);
    window->cmdSend_Click();
    auto guest = std::make_unique<session::NetworkSessionService>(config);
    joinRoom(*guest, roomName, u"次郎"_s);
    waitFor([&] { return window->lstRoster->count() == 3; });
    say(u"@S1;次郎さん、いらっしゃい"_s);
    waitFor([&] { return window->controller()->log().text().count(u'\n') >= 4; });
    window->txtEntry->setPlainText(u"週末の予定は決まりましたか？"_s);
    settle();

    bool saved = true;
    for (int panel = 0; panel < 4; ++panel) {
        window->lblMenus_MouseUp(panel, 1);
        QApplication::processEvents();
        saved = window->grab().save(QDir(folder).filePath(u"chat-panel%1.png"_s.arg(panel))) && saved;
    }
    window->lblMenus_MouseUp(0, 1);
    window->imgHide_Click();
    QApplication::processEvents();
    saved = window->grab().save(QDir(folder).filePath(u"chat-hidden.png"_s)) && saved;

    // The find bar over the log, the menu area shown again.
    window->imgHide_Click();
    window->findBar->open();
    window->findBar->field()->setText(u"いらっしゃい"_s);
    window->findBar->findNext();
    settle();
    saved = window->grab().save(QDir(folder).filePath(u"chat-find.png"_s)) && saved;
    window->findBar->close();

    // A burst of lines while another window is active: the desktop's notice of it,
    // where a notification service runs on this display (scripts/screenshots.sh
    // starts one).
    if (qEnvironmentVariableIsSet("MIRELUNE_SCREENSHOT_NOTICE")) {
        window->notifier().setTimes(50, 50);
        QWidget elsewhere;
        elsewhere.setGeometry(0, 0, 10, 10);
        elsewhere.show();
        QApplication::setActiveWindow(&elsewhere);
        waitFor([&] { return !window->isActiveWindow(); });
        say(u"そういえば、次郎さんは来週の旅行に行きますか？"_s);
        say(u"太郎さんも一緒にどうですか"_s);
        waitFor([&] { return window->notifier().unread() == 2; });
        // The service draws its notice in its own time.
        QElapsedTimer shown;
        shown.start();
        waitFor([&] { return shown.elapsed() > 1500; }, 2000);
        saved = saveNotice(QDir(folder).filePath(u"chat-notice.png"_s)) && saved;
    }

    delete window;
    guest->close();
    host->close();
    return saved;
}

// Two chat windows, each on a session of its own, in a room hosted by a third copy
// (花子). 花子 quits; the room goes on between the two windows, which show her leave
// notice and the lines exchanged after it, side by side in chat-host-left.png.
bool takeHostLeftScreenshot(const QString& folder, const session::SessionConfig& config) {
    const QString roomName = u"夜更かし部屋"_s;
    std::unique_ptr<session::SessionService> host = hostRoom(config, roomName, u"花子"_s);
    if (!host) {
        return false;
    }
    const auto hostPlayers = host->listPlayers();
    const session::PlayerId hostId = hostPlayers && hostPlayers->count() > 0 ? hostPlayers->items().first().id : 0;

    std::vector<std::unique_ptr<session::SessionService>> sessions;
    std::vector<std::unique_ptr<frmMain>> windows;
    basGlobal::roomName = roomName;
    for (const QString& name : {u"太郎"_s, u"次郎"_s}) {
        // A window reads its session from basGlobal when it loads. On a fresh service
        // the controller's registration gets handle 1, the one the player is made with.
        basGlobal::sessionService = std::make_unique<session::NetworkSessionService>(config);
        basGlobal::localPlayerName = name;
        basGlobal::localPlayerId = joinRoom(*basGlobal::sessionService, roomName, name, 1);
        if (basGlobal::localPlayerId == 0) {
            return false;
        }
        auto window = std::make_unique<frmMain>();
        window->Form_Load();
        window->controller()->registerForEvents();
        window->move(static_cast<int>(windows.size()) * (window->width() + 16), 0);
        window->show();
        sessions.push_back(std::move(basGlobal::sessionService));
        windows.push_back(std::move(window));
    }
    frmMain& taro = *windows[0];
    frmMain& jiro = *windows[1];
    const auto logShows = [](const frmMain& window, const QString& text) {
        return window.controller()->log().text().contains(text);
    };
    const auto send = [](frmMain& window, const QString& text) {
        window.txtEntry->setPlainText(text);
        window.cmdSend_Click();
    };
    waitFor([&] { return taro.lstRoster->count() == 3 && jiro.lstRoster->count() == 3; });
    static_cast<void>(
        host->send(hostId, session::kEveryone,
                   chat::ChatMessage{chat::ChatKind::Public, u"そろそろ寝ます。おやすみなさい"_s}.toMessage()));
    waitFor([&] { return logShows(taro, u"おやすみなさい"_s) && logShows(jiro, u"おやすみなさい"_s); });
    send(taro, u"おやすみー"_s);
    waitFor([&] { return logShows(jiro, u"おやすみー"_s); });

    // 花子 quits as the program does: her player goes, then her session.
    static_cast<void>(host->destroyPlayer(hostId));
    host->close();
    host.reset();
    const QString left = u"花子 さんが退出しました"_s;
    // Only in a room that went on (both still see each other) does a send not end in
    // the failure box, which nobody would answer here.
    const bool carriedOn = waitFor(
        [&] {
            return logShows(taro, left) && logShows(jiro, left) && taro.lstRoster->count() == 2 &&
                   jiro.lstRoster->count() == 2;
        },
        15000);
    if (!carriedOn) {
        return false;
    }
    send(jiro, u"部屋、まだ続いてますね"_s);
    waitFor([&] { return logShows(taro, u"まだ続いてますね"_s); });
    send(taro, u"うん、このまま話せるよ"_s);
    if (!waitFor([&] { return logShows(jiro, u"このまま話せるよ"_s); })) {
        return false;
    }
    settle();

    const QPixmap left0 = taro.grab();
    const QPixmap left1 = jiro.grab();
    QPixmap both(left0.width() + 16 + left1.width(), std::max(left0.height(), left1.height()));
    both.fill(Qt::white);
    QPainter painter(&both);
    painter.drawPixmap(0, 0, left0);
    painter.drawPixmap(left0.width() + 16, 0, left1);
    painter.end();
    const bool saved = both.save(QDir(folder).filePath(u"chat-host-left.png"_s));
    windows.clear();
    for (auto& session : sessions) {
        session->close();
    }
    return saved;
}

} // namespace

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
    basGlobal::settingsPath = scratch.filePath(u"Mirelune.ini"_s);
    basGlobal::endProgramHook = [](int) {};
    basGlobal::serviceFactory = [config] { return std::make_unique<session::NetworkSessionService>(config); };
    saved = takeChatScreenshots(folder, config) && saved;
    basGlobal::ResetSessionState();
    basGlobal::settingsPath = scratch.filePath(u"Mirelune.ini"_s);
    basGlobal::endProgramHook = [](int) {};
    saved = takeHostLeftScreenshot(folder, config) && saved;
    basGlobal::ResetSessionState();
    return saved ? 0 : 1;
}
