#include "WizardFixture.h"
#include "setup/basGlobal.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {

const QString kLongName = u"とても長いハンドル名はこの程度まで続くことがある四十文字の名前です。まだ続きます！"_s;

} // namespace

TEST_F(WizardTest, WindowAndControlsSitWhereDesigned) {
    frmSet& wizard = loadWizard();
    EXPECT_EQ(wizard.windowTitle(), u"Mirelune へようこそ！"_s);
    EXPECT_EQ(wizard.size(), QSize(313, 253));
    EXPECT_EQ(wizard.minimumSize(), wizard.maximumSize());
    const struct {
        QWidget* control;
        QRect pixels;
        QString text;
    } table[] = {
        {wizard.picRgn[0], {0, 0, 313, 201}, {}},
        {wizard.picRgn[2], {0, 0, 313, 201}, {}},
        {wizard.cmdExit, {152, 220, 73, 25}, u"終了(&X)"_s},
        {wizard.cmdNext, {232, 220, 73, 25}, u"次へ(&N) >>"_s},
        {wizard.chkViewOff, {16, 176, 129, 17}, u"次回から表示しない"_s},
        {wizard.lstConnections, {16, 56, 281, 82}, {}},
        {wizard.txtYourName, {16, 168, 281, 19}, {}},
        {wizard.lstSessions, {8, 56, 193, 52}, {}},
        {wizard.cmdRefresh, {208, 56, 97, 25}, u"表示の更新(&R)"_s},
        {wizard.cmdJoin, {208, 84, 97, 25}, u"参加(&J)"_s},
        {wizard.txtChatName, {8, 136, 193, 18}, {}},
        {wizard.cmdCreate, {208, 136, 97, 25}, u"新規(&N)"_s},
        {wizard.txtChatPass, {96, 160, 105, 18}, {}},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.control->geometry(), row.pixels) << row.control->objectName().toStdString();
        if (auto* button = qobject_cast<QAbstractButton*>(row.control)) {
            EXPECT_EQ(button->text(), row.text);
        }
    }
    EXPECT_TRUE(wizard.picRgn[0]->isVisible());
    EXPECT_FALSE(wizard.picRgn[1]->isVisible());
    EXPECT_FALSE(wizard.picRgn[2]->isVisible());
}

// Each case loads the window and leaves the welcome page, which stores the box as the
// file counts it: 1 ticked, 2 greyed.
TEST_F(WizardTest, LoadFillsTheWindowFromTheSettingsAndNextStoresTheBox) {
    const QString login = u"tester"_s, room = u"MyChatRoom"_s;
    const struct {
        const char* name;
        QByteArray file; // empty: no settings file at all
        bool loginReadable;
        int page;
        Qt::CheckState box;
        QString handle, room, stored;
    } table[] = {
        {"no file", {}, true, 0, Qt::Unchecked, login, room, u"0"_s},
        {"no login name", {}, false, 0, Qt::Unchecked, u"Player"_s, room, u"0"_s},
        {"skip welcome", "[General]\nShowGreet=1\n", true, 1, Qt::Checked, login, room, u"1"_s},
        {"greyed box", "[General]\nShowGreet=2\n", true, 0, Qt::PartiallyChecked, login, room, u"2"_s},
        {"empty player", "[General]\nPlayer=\nRoom=\n", true, 0, Qt::Unchecked, {}, {}, u"0"_s},
        {"sentinel", "[General]\nPlayer=$$$Nothing$$$\nRoom=$$$Nothing$$$\n", true, 0, Qt::Unchecked, login, room,
         u"0"_s},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        QFile::remove(m_settingsPath);
        if (!row.file.isEmpty())
            writeSettings(row.file);
        basGlobal::loginNameSource = [&row] {
            return row.loginReadable ? std::optional<QString>(u"tester"_s) : std::nullopt;
        };
        frmSet& wizard = loadWizard();
        EXPECT_EQ(std::tuple(wizard.page(), wizard.chkViewOff->checkState(), wizard.txtYourName->text(),
                             wizard.txtChatName->text()),
                  std::tuple(row.page, row.box, row.handle, row.room));
        EXPECT_TRUE(m_endings.isEmpty() && m_answerer->boxes.isEmpty());
        if (wizard.page() == 0)
            QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
        EXPECT_EQ(wizard.page(), 1);
        EXPECT_TRUE(wizard.picRgn[1]->isVisible() && !wizard.picRgn[0]->isVisible());
        EXPECT_EQ(setting(u"ShowGreet"_s), row.stored);
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
    EXPECT_EQ(wizard.page(), 1);
    EXPECT_FALSE(currentService()->initialized);

    wizard.txtYourName->setText(u"   "_s);
    QTest::mouseClick(wizard.cmdNext, Qt::LeftButton);
    EXPECT_EQ(wizard.page(), 2);
    EXPECT_FALSE(wizard.cmdNext->isEnabled());
    EXPECT_EQ(setting(u"Player"_s), u""_s) << "stored; the file drops the blanks when reading";

    wizard.txtChatName->clear();
    QTest::mouseClick(wizard.cmdCreate, Qt::LeftButton);
    EXPECT_EQ(m_answerer->boxes, QList<SeenBox>(2, nameRequired));
    EXPECT_EQ(setting(u"Room"_s), u""_s);
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_EQ(wizard.page(), 2);
    EXPECT_TRUE(roomsSeenByAnotherCopy().isEmpty());
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
    EXPECT_EQ(wizard.page(), 1);
    EXPECT_EQ(setting(u"Player"_s), std::nullopt);

    // The service now reports that it was initialised already: nothing is said.
    currentService()->initialized = true;
    wizard.cmdNext_Click();
    EXPECT_EQ(m_answerer->boxes.size(), 1);
    EXPECT_EQ(wizard.page(), 1);

    currentService()->initialized = false;
    m_answerer->address = u"192.0.2.7"_s;
    wizard.cmdNext_Click();
    EXPECT_EQ(currentService()->promptedAddress, u"192.0.2.7"_s);
    EXPECT_EQ(setting(u"Address"_s), u"192.0.2.7"_s);
    EXPECT_EQ(wizard.page(), 2);
    EXPECT_EQ(setting(u"Player"_s), u"次郎"_s);
    EXPECT_TRUE(m_endings.isEmpty());
}

TEST_F(WizardTest, StartAndListingFailuresEndTheProgramWithTheirMessage) {
    const struct {
        const char* name;
        std::function<void(FakeSessionService&)> configure; // empty: no service at all
        bool failsOnLoad;
        QString message;
    } table[] = {
        {"service missing", nullptr, true, u"DirectPlayの初期化に失敗しました"_s},
        {"listing fails", [](FakeSessionService& s) { s.failListConnections = true; }, true,
         u"DirectPlayの初期化に失敗しました"_s},
        {"no connection", [](FakeSessionService& s) { s.connections.clear(); }, true, u"接続の列挙に失敗しました"_s},
        {"room listing fails",
         [](FakeSessionService& s) {
             s.listRoomsError = session::Error{9, u"down"_s};
         },
         false, u"セッション列挙機能でエラーが発生しました"_s},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        m_configure = row.configure;
        if (!row.configure)
            basGlobal::serviceFactory = [] { return std::unique_ptr<session::SessionService>(); };
        frmSet& wizard = loadWizard(!row.failsOnLoad);
        if (!row.failsOnLoad) {
            wizard.cmdNext_Click();
            wizard.cmdNext_Click();
        }
        EXPECT_FALSE(wizard.isVisible());
        EXPECT_EQ(m_answerer->seenTexts(), QStringList{row.message});
        EXPECT_EQ(m_endings, QList<int>{1});
        EXPECT_TRUE(basGlobal::programEnded() && basGlobal::sessionService == nullptr);
        EXPECT_EQ(setting(u"Player"_s), std::nullopt);
        startOver();
    }
}

TEST_F(WizardTest, ExitAndCloseBoxReleaseTheServiceOnEveryPage) {
    for (int page = 0; page < 3; ++page) {
        for (bool closeBox : {false, true}) {
            SCOPED_TRACE(page * 10 + closeBox);
            writeSettings("[General]\nShowGreet=0\n");
            frmSet& wizard = loadWizard();
            while (wizard.page() < page)
                wizard.cmdNext_Click();
            QPointer<FakeSessionService> service = currentService();
            if (closeBox)
                wizard.close();
            else
                QTest::mouseClick(wizard.cmdExit, Qt::LeftButton);
            EXPECT_EQ(m_endings, QList<int>{0});
            EXPECT_FALSE(wizard.isVisible());
            EXPECT_TRUE(service.isNull());
            EXPECT_TRUE(m_answerer->boxes.isEmpty()) << "Exit asks nothing";
            startOver();
        }
    }
}

TEST_F(WizardTest, CloseSessionServiceNeverFailsAndRunsOnce) {
    loadWizard();
    QPointer<FakeSessionService> service = currentService();
    service->destroyPlayerError = session::Error{session::kErrorInvalidPlayer, u"gone"_s};
    basGlobal::localPlayerId = 42;
    basGlobal::CloseSessionService();
    EXPECT_TRUE(service.isNull());
    basGlobal::CloseSessionService();
    EXPECT_EQ(basGlobal::sessionService, nullptr);
    EXPECT_TRUE(m_answerer->boxes.isEmpty());
}

TEST_F(WizardTest, NameBoxesDropControlCharactersAndLimitOnlyTyping) {
    // A longer name set by the program stays whole and can be shortened, not lengthened.
    writeSettings("[General]\nShowGreet=1\nPlayer=" + kLongName.toUtf8() + "\n");
    frmSet& wizard = loadWizard();
    ASSERT_EQ(wizard.txtYourName->text(), kLongName);
    wizard.txtYourName->setFocus();
    wizard.txtYourName->end(false);
    QTest::keyClick(wizard.txtYourName, Qt::Key_Backspace);
    EXPECT_EQ(wizard.txtYourName->text(), kLongName.chopped(1));
    QTest::keyClick(wizard.txtYourName, Qt::Key_A);
    EXPECT_EQ(wizard.txtYourName->text(), kLongName.chopped(1));
    wizard.txtYourName->setSelection(0, 30);
    QTest::keyClick(wizard.txtYourName, Qt::Key_B);
    EXPECT_EQ(wizard.txtYourName->text(), u"b"_s + kLongName.mid(30, 10));

    wizard.txtYourName->clear();
    commitText(wizard.txtYourName, u"山田\r\n太郎\t"_s);
    EXPECT_EQ(wizard.txtYourName->text(), u"山田太郎"_s);
    commitText(wizard.txtYourName, u"あいうえおかきくけこさしすせそたちつてとなにぬねの"_s);
    EXPECT_EQ(wizard.txtYourName->text().size(), frmSet::kMaxHandleNameLength);
    EXPECT_TRUE(wizard.txtYourName->text().startsWith(u"山田太郎あいう"_s));
    QTest::keyClick(wizard.txtYourName, Qt::Key_X);
    EXPECT_EQ(wizard.txtYourName->text().size(), frmSet::kMaxHandleNameLength);

    // A commit crossing the limit keeps whole characters; the name is stored as shown.
    const QString start(23, u'あ');
    for (const auto& [commit, kept] : {std::pair{u"い😀"_s, start + u"い"_s}, {u"😀"_s, start + u"😀"_s}}) {
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
