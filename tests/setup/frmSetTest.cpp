#include "setup/frmSet.h"

#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "common/LoopbackSession.h"
#include "common/TestSupport.h"
#include "platform/ProfileFile.h"
#include "session/NetworkSessionService.h"
#include "session/secure/KeyStore.h"
#include "setup/basGlobal.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;
using testsupport::FakeSessionService;
using testsupport::SeenBox;

namespace {

// Every wizard test gets its own settings file, in-memory services on a pretend
// network (or, with m_network set, network services on loopback ports of its own), a
// recorded program end and a fresh session state.
class WizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QApplication::setQuitOnLastWindowClosed(false);
        basGlobal::ResetSessionState();
        FakeSessionService::network().clear();
        m_endings.clear();
        basGlobal::settingsPath = m_settingsPath;
        basGlobal::endProgramHook = [this](int code) { m_endings.append(code); };
        basGlobal::loginNameSource = [] { return std::optional<QString>(QStringLiteral("tester")); };
        basGlobal::serviceFactory = [this]() -> std::unique_ptr<session::SessionService> {
            if (m_network)
                return anotherCopy();
            auto service = std::make_unique<FakeSessionService>();
            if (m_configure)
                m_configure(*service);
            return service;
        };
        m_answerer = std::make_unique<testsupport::BoxAnswerer>();
    }

    void TearDown() override {
        m_wizard.reset();
        basGlobal::ResetSessionState();
        m_otherCopies.clear();
        m_answerer.reset();
        // Deleting a chat window takes its own top-level children (boxes, menus) with
        // it, so the chat windows are picked out before any goes.
        QList<frmMain*> chats;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* chat = qobject_cast<frmMain*>(window))
                chats.append(chat);
        qDeleteAll(chats);
    }

    void startOver() {
        TearDown();
        SetUp();
    }

    void writeSettings(const QByteArray& lines) { testsupport::writeAll(m_settingsPath, lines); }
    // The stored value, or nothing when the key is absent.
    std::optional<QString> setting(const QString& key) const {
        const QString absent = QStringLiteral("<absent>"),
                      value = platform::ProfileFile(m_settingsPath).read(QStringLiteral("General"), key, absent);
        return value == absent ? std::nullopt : std::optional<QString>(value);
    }

    frmSet& loadWizard(bool expectLoaded = true) {
        m_wizard = std::make_unique<frmSet>();
        EXPECT_EQ(m_wizard->Form_Load(), expectLoaded);
        if (expectLoaded)
            m_wizard->show();
        return *m_wizard;
    }
    frmSet& wizardOnRoomPage(const QString& name = QStringLiteral("太郎")) {
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet& wizard = loadWizard();
        wizard.txtYourName->setText(name);
        wizard.cmdNext_Click();
        EXPECT_EQ(wizard.page(), 2);
        return wizard;
    }
    FakeSessionService* currentService() const {
        return dynamic_cast<FakeSessionService*>(basGlobal::sessionService.get());
    }

    // Another copy of the program on the wizard's network, initialised if asked.
    std::unique_ptr<session::SessionService> anotherCopy(bool initialize = false) const {
        if (!m_network)
            return std::make_unique<FakeSessionService>();
        auto copy = std::make_unique<session::NetworkSessionService>(m_config);
        EXPECT_TRUE(!initialize || copy->initialize(copy->listConnections()->item(1).value()).ok());
        return copy;
    }
    void hostRoom(const QString& name, const QString& password = {}) {
        session::RoomDescription room;
        room.applicationId = QString::fromUtf16(session::kApplicationId);
        room.name = name;
        room.password = password;
        room.numericAttribute = 4;
        std::unique_ptr<session::SessionService> host = anotherCopy(true);
        ASSERT_TRUE(host->openRoom(room, session::OpenMode::CreateAndHost).ok());
        ASSERT_TRUE(host->createLocalPlayer(QStringLiteral("ホスト"), QStringLiteral("Player 1 (Host)"), 0, 0).ok());
        m_otherCopies.push_back(std::move(host));
    }
    static QStringList hostedRooms() {
        QStringList names;
        for (const FakeSessionService::HostedRoom& room : FakeSessionService::network())
            names.append(room.description.name);
        return names;
    }

    // Types text as an input method commits it (works for Japanese too).
    static void commitText(QWidget* edit, const QString& text) {
        edit->setFocus();
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(edit, &event);
    }

    QTemporaryDir m_dir;
    const QString m_settingsPath = m_dir.filePath(QStringLiteral("Mirelune.ini"));
    QList<int> m_endings;
    bool m_network = false;
    const session::SessionConfig m_config = testsupport::loopbackConfig();
    std::function<void(FakeSessionService&)> m_configure; // applied to every in-memory service
    std::unique_ptr<testsupport::BoxAnswerer> m_answerer;
    std::unique_ptr<frmSet> m_wizard;
    std::vector<std::unique_ptr<session::SessionService>> m_otherCopies;
};

frmMain* openChatWindow() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* chat = qobject_cast<frmMain*>(window); chat != nullptr && chat->isVisible())
            return chat;
    return nullptr;
}

// The wizard's page while it shows (-1 once it has gone) and whether the session has
// a local player.
std::pair<int, bool> stage(const frmSet& wizard) {
    return {wizard.isVisible() ? wizard.page() : -1, basGlobal::localPlayerId != 0};
}

// The fingerprint remembered for a room name.
QString currentFingerprint(const QString& room) {
    const auto key = session::secure::KeyStore(session::secure::KeyStore::defaultFolder()).pinned(room);
    return key ? session::secure::fingerprint(*key) : QString();
}

const QString kLongName = u"とても長いハンドル名はこの程度まで続くことがある四十文字の名前です。まだ続きます！"_s;

TEST_F(WizardTest, WindowAndControlsSitWhereDesigned) {
    frmSet& wizard = loadWizard();
    EXPECT_EQ(wizard.windowTitle(), u"Mirelune へようこそ！"_s);
    EXPECT_EQ(wizard.size(), QSize(313, 253));
    EXPECT_EQ(wizard.minimumSize(), wizard.maximumSize());
    const std::tuple<QWidget*, QRect, QString> table[] = {
        {wizard.picRgn[2], {0, 0, 313, 201}, {}},
        {wizard.cmdExit, {152, 220, 73, 25}, u"終了(&X)"_s},
        {wizard.cmdNext, {232, 220, 73, 25}, u"次へ(&N) >>"_s},
        {wizard.chkViewOff, {16, 176, 129, 17}, u"次回から表示しない"_s},
        {wizard.cmdRefresh, {208, 56, 97, 25}, u"表示の更新(&R)"_s},
        {wizard.cmdJoin, {208, 84, 97, 25}, u"参加(&J)"_s},
        {wizard.cmdCreate, {208, 136, 97, 25}, u"新規(&N)"_s},
    };
    for (const auto& [control, pixels, text] : table) {
        EXPECT_EQ(control->geometry(), pixels) << control->objectName().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            EXPECT_EQ(button->text(), text);
        }
    }
    EXPECT_TRUE(wizard.picRgn[0]->isVisible() && !wizard.picRgn[1]->isVisible() && !wizard.picRgn[2]->isVisible());
}

// Each case loads the window and leaves the welcome page, which stores the box as the
// file counts it: 1 ticked, 2 greyed.
TEST_F(WizardTest, LoadFillsTheWindowFromTheSettingsAndNextStoresTheBox) {
    const QString login = u"tester"_s, room = u"MyChatRoom"_s;
    // name, file (empty: none at all), login name, page, box, handle, room, stored box
    const std::tuple<const char*, QByteArray, std::optional<QString>, int, Qt::CheckState, QString, QString, QString>
        table[] = {
            {"no file", {}, login, 0, Qt::Unchecked, login, room, u"0"_s},
            {"no login name", {}, std::nullopt, 0, Qt::Unchecked, u"Player"_s, room, u"0"_s},
            {"skip welcome", "[General]\nShowGreet=1\n", login, 1, Qt::Checked, login, room, u"1"_s},
            {"greyed box", "[General]\nShowGreet=2\n", login, 0, Qt::PartiallyChecked, login, room, u"2"_s},
            {"empty player", "[General]\nPlayer=\nRoom=\n", login, 0, Qt::Unchecked, {}, {}, u"0"_s},
            {"sentinel", "[General]\nPlayer=$$$Nothing$$$\nRoom=$$$Nothing$$$\n", login, 0, Qt::Unchecked, login, room,
             u"0"_s},
        };
    for (const auto& [name, file, loginName, page, box, handle, roomName, stored] : table) {
        SCOPED_TRACE(name);
        QFile::remove(m_settingsPath);
        if (!file.isEmpty())
            writeSettings(file);
        basGlobal::loginNameSource = [loginName = loginName] { return loginName; };
        frmSet& wizard = loadWizard();
        EXPECT_EQ(std::tuple(wizard.page(), wizard.chkViewOff->checkState(), wizard.txtYourName->text(),
                             wizard.txtChatName->text()),
                  std::tuple(page, box, handle, roomName));
        EXPECT_TRUE(m_endings.isEmpty() && m_answerer->boxes.isEmpty());
        if (wizard.page() == 0)
            QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
        EXPECT_EQ(wizard.page(), 1);
        EXPECT_TRUE(wizard.picRgn[1]->isVisible() && !wizard.picRgn[0]->isVisible());
        EXPECT_EQ(setting(u"ShowGreet"_s), stored);
        startOver();
    }

    // A box greyed by the file only ever ticks or clears on a click.
    writeSettings("[General]\nShowGreet=2\n");
    frmSet& wizard = loadWizard();
    for (Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
        QTest::mouseClick(wizard.chkViewOff, Qt::LeftButton);
        EXPECT_EQ(wizard.chkViewOff->checkState(), next);
    }
    QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
    EXPECT_EQ(setting(u"ShowGreet"_s), u"1"_s);
}

TEST_F(WizardTest, EmptyNamesAreRefusedOnBothPages) {
    writeSettings("[General]\nShowGreet=1\nPlayer=\n");
    frmSet& wizard = loadWizard();
    QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
    const SeenBox nameRequired{u"Error"_s, u"名前の記入は必須です"_s, {u"OK"_s}, false};
    EXPECT_EQ(m_answerer->boxes, QList<SeenBox>{nameRequired});
    EXPECT_TRUE(wizard.page() == 1 && !currentService()->initialized);

    wizard.txtYourName->setText(u"   "_s);
    QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
    EXPECT_TRUE(wizard.page() == 2 && !wizard.cmdNext->isEnabled());
    EXPECT_EQ(setting(u"Player"_s), u""_s) << "stored; the file drops the blanks when reading";

    wizard.txtChatName->clear();
    QTest::mouseClick(wizard.cmdCreate, Qt::LeftButton);
    EXPECT_EQ(m_answerer->boxes, QList<SeenBox>(2, nameRequired));
    EXPECT_EQ(setting(u"Room"_s), u""_s);
    EXPECT_TRUE(wizard.isVisible() && wizard.page() == 2 && hostedRooms().isEmpty());
}

// The Internet connection asks for the host; the name is stored only once the page is left.
TEST_F(WizardTest, ConnectionPageStoresHostAndNameOnlyOnceLeft) {
    writeSettings("[General]\nShowGreet=1\nAddress=chat.example:47811\n");
    frmSet& wizard = loadWizard();
    wizard.lstConnections->setCurrentRow(1);
    wizard.txtYourName->setText(u"次郎"_s);

    m_answerer->address.reset(); // cancel
    wizard.cmdNext_Click();
    EXPECT_EQ(m_answerer->offeredAddresses, QStringList{u"chat.example:47811"_s});
    EXPECT_EQ(m_answerer->boxes, (QList<SeenBox>{{u"Mirelune"_s, u"接続の初期化に失敗しました"_s, {u"OK"_s}, false}}));
    EXPECT_TRUE(wizard.page() == 1 && !setting(u"Player"_s));

    // The service now reports that it was initialised already: nothing is said.
    currentService()->initialized = true;
    wizard.cmdNext_Click();
    EXPECT_TRUE(m_answerer->boxes.size() == 1 && wizard.page() == 1);

    currentService()->initialized = false;
    m_answerer->address = u"192.0.2.7"_s;
    wizard.cmdNext_Click();
    EXPECT_EQ(std::tuple(currentService()->promptedAddress, setting(u"Address"_s), setting(u"Player"_s)),
              std::tuple(u"192.0.2.7"_s, u"192.0.2.7"_s, u"次郎"_s));
    EXPECT_TRUE(wizard.page() == 2 && m_endings.isEmpty());
}

TEST_F(WizardTest, StartAndListingFailuresEndTheProgramWithTheirMessage) {
    // name, set-up (empty: no service at all), fails on load, message
    const std::tuple<const char*, std::function<void(FakeSessionService&)>, bool, QString> table[] = {
        {"service missing", nullptr, true, u"DirectPlayの初期化に失敗しました"_s},
        {"listing fails", [](FakeSessionService& s) { s.listConnectionsError.emplace(1, u"none"_s); }, true,
         u"DirectPlayの初期化に失敗しました"_s},
        {"no connection", [](FakeSessionService& s) { s.connections.clear(); }, true, u"接続の列挙に失敗しました"_s},
        {"room listing fails", [](FakeSessionService& s) { s.listRoomsError.emplace(9, u"down"_s); }, false,
         u"セッション列挙機能でエラーが発生しました"_s},
    };
    for (const auto& [name, configure, failsOnLoad, message] : table) {
        SCOPED_TRACE(name);
        m_configure = configure;
        if (!configure)
            basGlobal::serviceFactory = [] { return std::unique_ptr<session::SessionService>(); };
        frmSet& wizard = loadWizard(!failsOnLoad);
        if (!failsOnLoad) {
            wizard.cmdNext_Click();
            wizard.cmdNext_Click();
        }
        EXPECT_EQ(std::tuple(m_answerer->seenTexts(), m_endings), std::tuple(QStringList{message}, QList<int>{1}));
        EXPECT_TRUE(!wizard.isVisible() && basGlobal::programEnded() && basGlobal::sessionService == nullptr);
        EXPECT_EQ(setting(u"Player"_s), std::nullopt);
        startOver();
    }
}

// Exit and the close box end the program on every page and release the service
// quietly and once, even when the local player cannot be destroyed.
TEST_F(WizardTest, ExitAndCloseBoxReleaseTheServiceOnEveryPage) {
    for (int page = 0; page < 3; ++page) {
        for (bool closeBox : {false, true}) {
            SCOPED_TRACE(page * 10 + closeBox);
            writeSettings("[General]\nShowGreet=0\n");
            frmSet& wizard = loadWizard();
            while (wizard.page() < page)
                wizard.cmdNext_Click();
            QPointer<FakeSessionService> service = currentService();
            service->destroyPlayerError = session::Error{session::kErrorInvalidPlayer, u"gone"_s};
            basGlobal::localPlayerId = 42;
            if (closeBox)
                wizard.close();
            else
                QTest::mouseClick(wizard.cmdExit, Qt::LeftButton);
            basGlobal::CloseSessionService();
            EXPECT_EQ(m_endings, QList<int>{0});
            EXPECT_TRUE(!wizard.isVisible() && service.isNull() && m_answerer->boxes.isEmpty()) << "Exit asks nothing";
            startOver();
        }
    }
}

TEST_F(WizardTest, NameBoxesDropControlCharactersAndLimitOnlyTyping) {
    // A longer name set by the program stays whole and can be shortened, not lengthened.
    writeSettings("[General]\nShowGreet=1\nPlayer=" + kLongName.toUtf8() + "\n");
    frmSet& wizard = loadWizard();
    ASSERT_EQ(wizard.txtYourName->text(), kLongName);
    wizard.txtYourName->setFocus();
    wizard.txtYourName->end(false);
    QTest::keyClick(wizard.txtYourName, Qt::Key_Backspace);
    QTest::keyClick(wizard.txtYourName, Qt::Key_A);
    EXPECT_EQ(wizard.txtYourName->text(), kLongName.chopped(1));
    wizard.txtYourName->setSelection(0, 30);
    QTest::keyClick(wizard.txtYourName, Qt::Key_B);
    EXPECT_EQ(wizard.txtYourName->text(), u"b"_s + kLongName.mid(30, 10));

    wizard.txtYourName->clear();
    commitText(wizard.txtYourName, u"山田\r\n太郎\t"_s);
    EXPECT_EQ(wizard.txtYourName->text(), u"山田太郎"_s);

    // A commit crossing the limit keeps whole characters; the name is stored as shown.
    const QString start(23, u'あ');
    // A flag is two code points and a kana with its combining voicing mark two as well
    // (か and U+3099): neither is cut between its halves. QStrings, not the builders of
    // "start + ...", which refer to temporaries gone by the time they are compared.
    const std::pair<QString, QString> commits[] = {
        {u"い😀"_s, start + u"い"_s}, {u"🇯🇵"_s, start}, {u"いが"_s, start + u"い"_s}, {u"😀"_s, start + u"😀"_s}};
    for (const auto& [commit, kept] : commits) {
        wizard.txtYourName->clear();
        commitText(wizard.txtYourName, start + commit);
        EXPECT_EQ(wizard.txtYourName->text(), kept);
    }

    wizard.txtChatName->clear();
    commitText(wizard.txtChatName, u"部屋\n一"_s);
    EXPECT_EQ(wizard.txtChatName->text(), u"部屋一"_s);
    wizard.cmdNext_Click();
    EXPECT_EQ(setting(u"Player"_s), start + u"😀"_s);
}

// Listing and joining run against the network service, with rooms hosted on loopback.
TEST_F(WizardTest, PasswordRoomIsListedAndJoinedOnlyWithItsPassword) {
    m_network = true;
    hostRoom(u"秘密の部屋"_s, u"ひらけごま"_s);
    frmSet& wizard = wizardOnRoomPage(u"訪問者"_s);
    EXPECT_TRUE(wizard.lstSessions->count() == 0 && !wizard.cmdJoin->isEnabled());

    commitText(wizard.txtChatPass, u"ひらけごま"_s);
    QTest::mouseClick(wizard.cmdRefresh, Qt::LeftButton);
    EXPECT_EQ(wizard.lstSessions->count(), 1);

    // A wrong password is refused by the host; the list is made again with it.
    wizard.txtChatPass->clear();
    QTest::keyClicks(wizard.txtChatPass, u"wrong"_s);
    EXPECT_EQ(wizard.txtChatPass->displayText(), u"*****"_s);
    QTest::mouseClick(wizard.cmdJoin, Qt::LeftButton);
    EXPECT_EQ(m_answerer->seenTexts(), QStringList{u"セッションへの参加に失敗しました"_s});
    EXPECT_EQ(wizard.lstSessions->count(), 0);
    EXPECT_EQ(stage(wizard), std::pair(2, false));

    frmMain::followWizard(wizard);
    wizard.txtChatName->setText(u"別の名前"_s);
    wizard.txtChatPass->setText(u"ひらけごま"_s);
    wizard.cmdRefresh_Click();
    QTest::mouseClick(wizard.cmdJoin, Qt::LeftButton);
    EXPECT_EQ(m_answerer->boxes.size(), 1);
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_EQ(std::tuple(basGlobal::roomName, basGlobal::localPlayerName), std::tuple(u"秘密の部屋"_s, u"訪問者"_s));
    EXPECT_EQ(setting(u"Room"_s), u"別の名前"_s) << "Join stores the new-room box";
    ASSERT_NE(openChatWindow(), nullptr);
    EXPECT_EQ(openChatWindow()->windowTitle(), u"Mirelune - [秘密の部屋]"_s);
}

// A room that answers with another key than at the last join is the user's to accept
// before the handle name goes out: No leaves the page as it was, Yes joins.
TEST_F(WizardTest, ARoomWhoseKeyChangedIsJoinedOnlyIfTheUserAgrees) {
    m_network = true;
    // The keys folder outlives the run: a room name of this run's own.
    const QString name = u"鍵の部屋 "_s + QString::number(QRandomGenerator::global()->generate());
    hostRoom(name);
    {
        std::unique_ptr<session::SessionService> earlier = anotherCopy(true);
        session::RoomDescription query;
        query.applicationId = QString::fromUtf16(session::kApplicationId);
        const auto rooms = earlier->listRooms(query, 0);
        ASSERT_TRUE(rooms && rooms->count() == 1);
        ASSERT_TRUE(earlier->openRoom(rooms->item(1).value(), session::OpenMode::Join).ok());
    }
    const QString before = currentFingerprint(name);
    m_otherCopies.clear();
    QFile::remove(session::secure::KeyStore(session::secure::KeyStore::defaultFolder()).roomKeyPath(name));
    hostRoom(name); // the same name, another key
    frmSet& wizard = wizardOnRoomPage(u"訪問者"_s);
    ASSERT_EQ(wizard.lstSessions->count(), 1);
    EXPECT_EQ(wizard.lstSessions->item(0)->toolTip(), u"ルームの鍵の指紋（前回の参加時）: "_s + before);

    m_answerer = std::make_unique<testsupport::BoxAnswerer>(QStringList{u"いいえ(&N)"_s});
    wizard.cmdJoin->click();
    ASSERT_EQ(m_answerer->boxes.size(), 1);
    EXPECT_TRUE(m_answerer->boxes[0].text.startsWith(
        u"ルーム「%1」には、前回参加したときとは別のコンピューターが"_s.arg(name)));
    EXPECT_TRUE(m_answerer->boxes[0].text.contains(before));
    EXPECT_EQ(stage(wizard), std::pair(2, false));
    EXPECT_EQ(wizard.lstSessions->count(), 1);

    frmMain::followWizard(wizard);
    m_answerer = std::make_unique<testsupport::BoxAnswerer>(QStringList{u"はい(&Y)"_s});
    wizard.cmdJoin->click();
    EXPECT_EQ(m_answerer->boxes.size(), 1);
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_NE(currentFingerprint(name), before);
}

TEST_F(WizardTest, RefreshingWaitsUnderTheBusyCursor) {
    QList<Qt::CursorShape> shapes; // the cursor during each listing
    m_configure = [&](FakeSessionService& service) {
        service.whileListing = [&] {
            const QCursor* cursor = QApplication::overrideCursor();
            shapes.append(cursor != nullptr ? cursor->shape() : Qt::ArrowCursor);
        };
    };
    wizardOnRoomPage().cmdRefresh_Click();
    EXPECT_EQ(shapes, (QList<Qt::CursorShape>{Qt::ArrowCursor, Qt::WaitCursor}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// A failed player creation keeps the room page and leaves the room by restarting the
// service: no room is left behind, and the rooms the page still shows are joined at
// the first try.
TEST_F(WizardTest, AfterAFailedPlayerNoRoomIsLeftAndTheNextJoinWorksAtOnce) {
    const std::pair<QPushButton * frmSet::*, QStringList> rows[] = {
        {&frmSet::cmdCreate, {u"ホストプレーヤーの作成に失敗しました"_s, u"INVALIDPLAYER"_s}},
        {&frmSet::cmdJoin, {u"プレーヤーの作成に失敗しました"_s}}};
    for (const auto& [failing, told] : rows) {
        hostRoom(u"ロビー"_s);
        m_configure = [](FakeSessionService& service) {
            service.createPlayerError = session::Error{session::kErrorInvalidPlayer, u"invalid player"_s};
        };
        frmSet& wizard = wizardOnRoomPage();
        wizard.txtChatName->setText(u"不運な部屋"_s);
        (wizard.*failing)->click();
        EXPECT_EQ(m_answerer->seenTexts(), told);
        EXPECT_EQ(stage(wizard), std::pair(2, false));
        EXPECT_EQ(hostedRooms(), QStringList{u"ロビー"_s});
        m_configure = nullptr;
        currentService()->createPlayerError.reset();
        frmMain::followWizard(wizard);
        wizard.cmdJoin->click();
        EXPECT_EQ(m_answerer->seenTexts(), told);
        EXPECT_EQ(stage(wizard), std::pair(-1, true));
        EXPECT_EQ(basGlobal::roomName, u"ロビー"_s);
        ASSERT_NE(openChatWindow(), nullptr);
        startOver();
    }
}

// A name the room refuses leads back to the name page with the reason and the name
// selected; the room opened for it is left, and the connection and the rooms listed
// stay for the next try.
TEST_F(WizardTest, ARefusedNameLeadsBackToTheNamePageAndTheNextTryWorks) {
    hostRoom(u"ロビー"_s);
    m_configure = [](FakeSessionService& service) { service.takenNames = {u"太郎"_s, u"花> 子"_s}; };
    frmSet& wizard = wizardOnRoomPage();
    const std::tuple<QString, QPushButton * frmSet::*, QString> tries[] = {
        {u"太郎"_s, &frmSet::cmdJoin, u"この名前はすでにルームで使われています。別の名前を入力してください。"_s},
        {u"花> 子"_s, &frmSet::cmdCreate,
         u"この名前は使えません。「> 」や目に見えない文字を含まない名前を入力してください。"_s},
    };
    for (const auto& [name, button, reason] : tries) {
        SCOPED_TRACE(name.toStdString());
        if (wizard.page() == 1) {
            wizard.txtYourName->setText(name);
            wizard.cmdNext->click();
        }
        (wizard.*button)->click();
        EXPECT_EQ(m_answerer->seenTexts().value(0), reason);
        m_answerer->boxes.clear();
        EXPECT_EQ(stage(wizard), std::pair(1, false));
        EXPECT_TRUE(wizard.cmdNext->isEnabled() && wizard.focusWidget() == wizard.txtYourName);
        EXPECT_EQ(wizard.txtYourName->selectedText(), name);
        EXPECT_EQ(hostedRooms(), QStringList{u"ロビー"_s});
    }
    frmMain::followWizard(wizard);
    wizard.txtYourName->setText(u"次郎"_s);
    wizard.cmdNext->click();
    EXPECT_EQ(std::pair(wizard.page(), wizard.lstSessions->count()), std::pair(2, 1));
    wizard.cmdJoin->click();
    EXPECT_TRUE(m_answerer->boxes.isEmpty());
    EXPECT_EQ(stage(wizard), std::pair(-1, true));
    EXPECT_EQ(std::pair(basGlobal::localPlayerName, setting(u"Player"_s)),
              std::pair(u"次郎"_s, std::optional(u"次郎"_s)));
}

// The wizard's network waits keep the window responsive: the user may quit or click
// again meanwhile. Every case runs against a room hosted on loopback.
class WizardWaitTest : public WizardTest {
protected:
    void SetUp() override {
        m_network = true;
        WizardTest::SetUp();
        hostRoom(u"ロビー"_s);
    }
    // Runs `action` on the first turn of the event loop at which `ready` holds.
    void during(std::function<bool()> ready, std::function<void()> action) {
        m_timer = std::make_unique<QTimer>();
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this, ready, action] {
            if (ready()) {
                m_timer->stop();
                action();
            }
        });
        m_timer->start(0);
    }
    std::unique_ptr<QTimer> m_timer;
};

// Nothing may touch the released service afterwards (AddressSanitizer catches it).
TEST_F(WizardWaitTest, QuittingDuringAnyWaitEndsTheProgramQuietly) {
    const auto creatingPlayer = [] { return !basGlobal::localPlayerName.isEmpty(); };
    const std::tuple<const char*, QPushButton * frmSet::*, std::function<bool()>> cases[] = {
        {"first listing", &frmSet::cmdNext, [] { return true; }},
        {"refresh", &frmSet::cmdRefresh, [] { return true; }},
        {"joining", &frmSet::cmdJoin, [] { return true; }},
        {"creating the joining player", &frmSet::cmdJoin, creatingPlayer}};
    for (const auto& [wait, button, ready] : cases) {
        SCOPED_TRACE(wait);
        writeSettings("[General]\r\nShowGreet=1\r\n");
        frmSet* wizard = button == &frmSet::cmdNext ? &loadWizard() : &wizardOnRoomPage();
        during(ready,
               [&, button = button] { button == &frmSet::cmdJoin ? void(wizard->close()) : wizard->cmdExit->click(); });
        (wizard->*button)->click();
        EXPECT_EQ(m_endings, QList<int>{0});
        EXPECT_EQ(m_answerer->seenTexts(), QStringList());
        EXPECT_EQ(basGlobal::sessionService, nullptr);
        startOver();
    }
}

// The password box may hold a password meant for another room: a room without one is
// joined all the same.
TEST_F(WizardWaitTest, ClickDuringAListingIsHandledAfterIt) {
    for (QPushButton* frmSet::*button : {&frmSet::cmdCreate, &frmSet::cmdJoin}) {
        frmSet& wizard = wizardOnRoomPage();
        wizard.txtChatPass->setText(u"ひらけごま"_s);
        during([] { return true; }, [&] { (wizard.*button)->click(); });
        wizard.cmdRefresh->click();
        EXPECT_EQ(m_answerer->seenTexts(), QStringList());
        EXPECT_EQ(basGlobal::roomName, button == &frmSet::cmdJoin ? u"ロビー"_s : u"MyChatRoom"_s);
        EXPECT_NE(basGlobal::localPlayerId, 0);
        startOver();
    }
}

} // namespace
