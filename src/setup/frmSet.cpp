#include "setup/frmSet.h"

#include "platform/SettingsValues.h"
#include "platform/Twips.h"
#include "session/SessionErrors.h"
#include "session/wire/NameRules.h"
#include "setup/JapaneseFont.h"
#include "setup/JapaneseMessageBox.h"
#include "setup/NameValidator.h"
#include "setup/SetupLogging.h"
#include "setup/basGlobal.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QTextDocument>
#include <climits>

using namespace Qt::StringLiterals;
using platform::twipsRect;
using setup::JapaneseMessageBox;

namespace {

const QString kShowGreetKey = u"ShowGreet"_s;
const QString kPlayerKey = u"Player"_s;
const QString kRoomKey = u"Room"_s;
const QString kAbsent = QString::fromUtf16(platform::kAbsentSentinel);
const QString kErrorTitle = u"Error"_s;
const QString kNameRequired = u"名前の記入は必須です"_s;
const QString kListingError = u"セッション列挙機能でエラーが発生しました"_s;

// Stored names lose their surrounding spaces (only spaces: other blanks are part of
// the name).
QString withoutSurroundingSpaces(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u' ') {
        ++first;
    }
    while (last > first && text.at(last - 1) == u' ') {
        --last;
    }
    return text.mid(first, last - first);
}

session::Status failed(const session::Error& error) {
    return platform::Failure<session::Error>{error};
}

session::Status noService() {
    return session::failure(0, u"the session service is not running"_s);
}

void showMessage(QWidget* parent, const QString& text, const QString& title = {}) {
    JapaneseMessageBox::showOk(text, title, parent);
}

// What the keys on disk had to tell (a damaged key file made anew), once the room is open.
void showKeyNotice(QWidget* parent, session::SessionService& service) {
    if (const QString notice = service.takeKeyNotice(); !notice.isEmpty()) {
        showMessage(parent, notice);
    }
}

QString roomKeyChangedText(const session::RoomKeySeen& seen) {
    return u"ルーム「%1」には、前回参加したときとは別のコンピューターが応答しています。\n\n"
           u"前回の鍵の指紋: %2\n今回の鍵の指紋: %3\n\n"
           u"ホストがルームを作り直した場合にもこうなります。心当たりがなければ、参加しないでください。\n"
           u"このまま参加しますか？"_s.arg(seen.roomName, seen.pinnedFingerprint, seen.fingerprint);
}

// The places were made for a face whose glyphs are narrower than most gothic faces
// here; a one-line caption that would be cut is drawn a little narrower instead.
void fitToWidth(QLabel* label) {
    if (Qt::mightBeRichText(label->text())) {
        return;
    }
    const int needed = label->fontMetrics().horizontalAdvance(label->text());
    if (needed <= label->width() || needed == 0) {
        return;
    }
    QFont font = label->font();
    font.setStretch(std::max(50, label->width() * 100 / needed));
    label->setFont(font);
}

// The same for wrapped text: the place holds it at a line pitch of 12 pixels, which
// most faces exceed at the standard size; take a pixel off until it fits.
void fitToHeight(QLabel* label) {
    QFont font = label->font();
    int pixels = QFontInfo(font).pixelSize();
    const auto needed = [&] {
        return QFontMetrics(font)
            .boundingRect(QRect(0, 0, label->width(), 0), Qt::TextWordWrap, label->text())
            .height();
    };
    while (pixels > 9 && needed() > label->height()) {
        font.setPixelSize(--pixels);
    }
    label->setFont(font);
}

// The welcome page's box shows a stored greyed state, but a click only ever makes it
// clear or ticked, so the value written back is 0 or 1.
class TwoStateClickBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};

// Shows the busy cursor for as long as it lives.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace

frmSet::frmSet(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(u"frmSet"_s);
    setWindowTitle(u"Mirelune へようこそ！"_s);
    setFont(setup::japaneseUiFont());
    setFixedSize(platform::twipsToPixels(4695), platform::twipsToPixels(3795));

    for (std::size_t i = 0; i < picRgn.size(); ++i) {
        picRgn[i] = new QFrame(this);
        picRgn[i]->setObjectName(u"picRgn%1"_s.arg(i));
        picRgn[i]->setFrameShape(QFrame::NoFrame);
        picRgn[i]->setGeometry(twipsRect(0, 0, 4695, 3015));
        picRgn[i]->setVisible(i == 0);
    }
    buildWelcomePage();
    buildConnectionPage();
    buildRoomPage();

    cmdExit = new QPushButton(u"終了(&X)"_s, this);
    cmdExit->setObjectName(u"cmdExit"_s);
    cmdExit->setGeometry(twipsRect(2280, 3300, 1095, 375));
    cmdNext = new QPushButton(u"次へ(&N) >>"_s, this);
    cmdNext->setObjectName(u"cmdNext"_s);
    cmdNext->setGeometry(twipsRect(3480, 3300, 1095, 375));

    // Exit is never held back: it also cancels a wait in progress.
    connect(cmdExit, &QPushButton::clicked, this, &frmSet::cmdExit_Click);
    const auto takeTurns = [this](QPushButton* button, void (frmSet::*handler)()) {
        connect(button, &QPushButton::clicked, this, [this, button, handler] { handleClick(button, handler); });
    };
    takeTurns(cmdNext, &frmSet::cmdNext_Click);
    takeTurns(cmdRefresh, &frmSet::cmdRefresh_Click);
    takeTurns(cmdJoin, &frmSet::cmdJoin_Click);
    takeTurns(cmdCreate, &frmSet::cmdCreate_Click);
}

void frmSet::handleClick(QPushButton* button, void (frmSet::*handler)()) {
    if (handlerRunning) {
        pendingClicks.push_back({button, handler});
        return;
    }
    handlerRunning = true;
    (this->*handler)();
    while (!pendingClicks.empty() && !closed && !entered) {
        const PendingClick next = pendingClicks.front();
        pendingClicks.pop_front();
        // A button that the handler before disabled or hid takes no click any more.
        if (next.button->isEnabled() && next.button->isVisible()) {
            (this->*next.handler)();
        }
    }
    pendingClicks.clear();
    handlerRunning = false;
}

frmSet::~frmSet() = default;

QLabel* frmSet::addLabel(QWidget* page, const QString& text, int left, int top, int width, int height, bool bold) {
    auto* label = new QLabel(text, page);
    label->setGeometry(twipsRect(left, top, width, height));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (bold) {
        label->setFont(setup::japaneseUiFont(9, true));
    }
    fitToWidth(label);
    return label;
}

void frmSet::buildWelcomePage() {
    QFrame* page = picRgn[0];
    auto* band = new QFrame(page);
    band->setObjectName(u"picTitleBand"_s);
    band->setGeometry(twipsRect(0, 0, 4695, 495));
    band->setAutoFillBackground(true);
    QPalette bandPalette = band->palette();
    bandPalette.setColor(QPalette::Window, Qt::white);
    band->setPalette(bandPalette);

    QLabel* title = addLabel(band, u"Mirelune　- Qt Chat System -"_s, 90, 120, 4470, 240, false);
    title->setObjectName(u"lblTitle"_s);
    title->setFont(setup::japaneseUiFont(12, true));
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0x80));
    title->setPalette(titlePalette);

    auto* welcome = new QLabel(
        u"「Mirelune」へようこそ！Mirelune は Qt 6 と libsodium "
        u"を使ったチャットソフトです。クライアント／サーバーの両方の機能を持っていますので、あなたの今使っているこのコ"
        u"ンピュータをサーバーとして動作させるか、ネットワーク上ですでに起動している Mirelune "
        u"サーバーに接続することで簡単にチャットが利用可能です。各チャットルームはパスワードによって保護できます。メッ"
        u"セージはすべて暗号化して送られます。では、「次へ」をクリックして作業を進めてください。"_s,
        page);
    welcome->setGeometry(twipsRect(240, 720, 4215, 1695));
    welcome->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    welcome->setObjectName(u"lblWelcome"_s);
    welcome->setWordWrap(true);
    fitToHeight(welcome);

    chkViewOff = new TwoStateClickBox(u"次回から表示しない"_s, page);
    chkViewOff->setObjectName(u"chkViewOff"_s);
    chkViewOff->setGeometry(twipsRect(240, 2640, 1935, 255));
}

void frmSet::buildConnectionPage() {
    QFrame* page = picRgn[1];
    addLabel(page, u"接続方法を選択して名前（ハンドル名）を入力してください"_s, 240, 240, 4260, 180, false);
    addLabel(page, u"接続方法"_s, 240, 600, 795, 180, true);
    lstConnections = new QListWidget(page);
    lstConnections->setObjectName(u"lstConnections"_s);
    lstConnections->setGeometry(twipsRect(240, 840, 4215, 1230));
    addLabel(page, u"名前（ハンドル名）"_s, 240, 2280, 1500, 180, true);
    txtYourName = new QLineEdit(u"Player"_s, page);
    txtYourName->setObjectName(u"txtYourName"_s);
    txtYourName->setGeometry(twipsRect(240, 2520, 4215, 285));
    txtYourName->setValidator(new setup::NameValidator(txtYourName, kMaxHandleNameLength));
}

void frmSet::buildRoomPage() {
    QFrame* page = picRgn[2];
    addLabel(page, u"利用可能なチャットルームを選ぶか新規作成してください"_s, 120, 240, 4275, 180, false);
    addLabel(page, u"利用可能なチャットルーム"_s, 120, 600, 2190, 180, true);
    lstSessions = new QListWidget(page);
    lstSessions->setObjectName(u"lstSessions"_s);
    lstSessions->setGeometry(twipsRect(120, 840, 2895, 780));
    // A room stays selected as long as there is one, so Join always has a target.
    connect(lstSessions, &QListWidget::itemSelectionChanged, this, [this] {
        if (lstSessions->selectedItems().isEmpty() && lstSessions->count() > 0) {
            lstSessions->setCurrentRow(std::max(lstSessions->currentRow(), 0));
        }
    });
    cmdRefresh = new QPushButton(u"表示の更新(&R)"_s, page);
    cmdRefresh->setObjectName(u"cmdRefresh"_s);
    cmdRefresh->setGeometry(twipsRect(3120, 840, 1455, 375));
    cmdJoin = new QPushButton(u"参加(&J)"_s, page);
    cmdJoin->setObjectName(u"cmdJoin"_s);
    cmdJoin->setGeometry(twipsRect(3120, 1260, 1455, 375));

    addLabel(page, u"新規チャットルーム"_s, 120, 1800, 1620, 180, true);
    txtChatName = new QLineEdit(u"MyChatRoom"_s, page);
    txtChatName->setObjectName(u"txtChatName"_s);
    txtChatName->setGeometry(twipsRect(120, 2040, 2895, 270));
    txtChatName->setValidator(new setup::NameValidator(txtChatName, INT_MAX));
    cmdCreate = new QPushButton(u"新規(&N)"_s, page);
    cmdCreate->setObjectName(u"cmdCreate"_s);
    cmdCreate->setGeometry(twipsRect(3120, 2040, 1455, 375));

    addLabel(page, u"パスワード"_s, 480, 2460, 900, 180, true);
    txtChatPass = new QLineEdit(page);
    txtChatPass->setObjectName(u"txtChatPass"_s);
    txtChatPass->setGeometry(twipsRect(1440, 2400, 1575, 270));
    txtChatPass->setEchoMode(QLineEdit::Password);
    txtChatPass->setStyleSheet(u"QLineEdit { lineedit-password-character: 42; }"_s);
}

bool frmSet::Form_Load() {
    if (basGlobal::loginNameSource) {
        if (const std::optional<QString> login = basGlobal::loginNameSource()) {
            setup::NameValidator::setProgramText(txtYourName, *login);
        }
    }

    if (!InitConnectionList()) {
        if (basGlobal::programEnded()) {
            return false; // the service could not start; the user has been told
        }
        showMessage(this, u"接続の列挙に失敗しました"_s);
        basGlobal::CloseSessionService();
        basGlobal::EndProgram(1);
        return false;
    }

    currentPage = 0;
    const QString greetText = basGlobal::readSetting(kShowGreetKey, u"0"_s);
    playerSetting = basGlobal::readSetting(kPlayerKey, kAbsent);
    roomSetting = basGlobal::readSetting(kRoomKey, kAbsent);

    greetSetting = static_cast<qint16>(platform::toShowGreet(greetText));
    if (playerSetting != kAbsent) {
        setup::NameValidator::setProgramText(txtYourName, withoutSurroundingSpaces(playerSetting));
    }
    if (roomSetting != kAbsent) {
        setup::NameValidator::setProgramText(txtChatName, withoutSurroundingSpaces(roomSetting));
    }

    chkViewOff->setCheckState(platform::checkStateFromStored(greetSetting));
    // The stored value 1 means "do not show the welcome page".
    if (greetSetting == 1) {
        cmdNext_Click();
    }
    return true;
}

bool frmSet::InitConnectionList() {
    if (!basGlobal::InitSessionService()) {
        return false;
    }
    lstConnections->clear();
    const auto& connections = basGlobal::connectionList;
    for (int i = 1; i <= connections.count(); ++i) {
        const auto connection = connections.item(i);
        if (!connection) {
            return false;
        }
        lstConnections->addItem(connection->name);
    }
    if (lstConnections->count() == 0) {
        return false;
    }
    lstConnections->setCurrentRow(0);
    return true;
}

void frmSet::cmdNext_Click() {
    switch (currentPage) {
    case 0:
        greetSetting = static_cast<qint16>(platform::storedFromCheckState(chkViewOff->checkState()));
        basGlobal::writeSetting(kShowGreetKey, QString::number(greetSetting));
        advance();
        break;
    case 1: {
        if (txtYourName->text().isEmpty()) {
            showMessage(this, kNameRequired, kErrorTitle);
            return;
        }
        if (nameRefused) {
            // Back from a refused name: the service is still initialised on the
            // connection, and the page behind lists its rooms.
            playerSetting = txtYourName->text();
            basGlobal::writeSetting(kPlayerKey, playerSetting);
            advance();
            break;
        }
        const int row = lstConnections->currentRow();
        const auto connection = basGlobal::connectionList.item(row + 1);
        session::SessionService* service = basGlobal::sessionService.get();
        const session::Status initialized = !connection ? failed(connection.error())
                                            : service   ? service->initialize(*connection)
                                                        : noService();
        if (!initialized) {
            if (initialized.error().code != session::kErrorAlreadyInitialized) {
                qCInfo(lcSetup) << "initialising the connection failed:" << initialized.error().description;
                showMessage(this, u"接続の初期化に失敗しました"_s);
            }
            return;
        }
        initializedConnection = row;

        const Listing listing = listRooms();
        if (closed) {
            return; // the user quit while the rooms were listed
        }
        if (listing != Listing::Listed) {
            // Reading the listed rooms has told the user already; a failed listing has
            // not, and the program is about to end.
            if (listing == Listing::ServiceFailed) {
                showMessage(this, kListingError);
            }
            basGlobal::CloseSessionService();
            basGlobal::EndProgram(1);
            close();
            return;
        }
        playerSetting = txtYourName->text();
        basGlobal::writeSetting(kPlayerKey, playerSetting);
        advance();
        break;
    }
    case 2:
        roomSetting = txtChatName->text();
        basGlobal::writeSetting(kRoomKey, roomSetting);
        break;
    default:
        break;
    }
}

void frmSet::advance() {
    if (currentPage >= 2) {
        return;
    }
    ++currentPage;
    picRgn[static_cast<std::size_t>(currentPage)]->show();
    picRgn[static_cast<std::size_t>(currentPage - 1)]->hide();
    if (currentPage == 2) {
        cmdNext->setEnabled(false);
    }
}

void frmSet::cmdExit_Click() {
    close();
}

void frmSet::closeEvent(QCloseEvent* event) {
    closed = true;
    // Closing the wizard ends the program; the service is released on the way out,
    // also when a handler still waits on it: the wait then ends with an error and the
    // handler returns quietly.
    if (!entered && !basGlobal::programEnded()) {
        basGlobal::CloseSessionService();
        basGlobal::EndProgram(0);
    }
    event->accept();
}

frmSet::Listing frmSet::listRooms() {
    lstSessions->clear();
    session::RoomDescription query;
    query.applicationId = QString::fromUtf16(session::kApplicationId);
    query.password = txtChatPass->text();

    session::SessionService* service = basGlobal::sessionService.get();
    session::Result<session::OneBasedList<session::RoomDescription>> rooms =
        service ? service->listRooms(query, 0) : platform::Failure<session::Error>{noService().error()};
    if (closed) {
        return Listing::ServiceFailed;
    }
    if (!rooms) {
        qCInfo(lcSetup) << "listing rooms failed:" << rooms.error().description;
        basGlobal::roomList = {};
        cmdJoin->setEnabled(false);
        return Listing::ServiceFailed;
    }
    basGlobal::roomList = std::move(rooms).value();
    for (int i = 1; i <= basGlobal::roomList.count(); ++i) {
        const auto room = basGlobal::roomList.item(i);
        if (!room) {
            showMessage(this, kListingError);
            return Listing::ReadingFailed;
        }
        lstSessions->addItem(room->name);
        // The key this user met at an earlier join of the room, to compare with its host.
        const QString fingerprint = service->rememberedFingerprint(room->name);
        lstSessions->item(lstSessions->count() - 1)
            ->setToolTip(fingerprint.isEmpty()
                             ? u"まだ参加したことのないルームです。鍵の指紋は参加したときに記録されます。"_s
                             : u"ルームの鍵の指紋（前回の参加時）: "_s + fingerprint);
    }
    cmdJoin->setEnabled(basGlobal::roomList.count() != 0);
    // An empty list points to the check that tells why no room answers.
    lstSessions->setToolTip(
        lstSessions->count() == 0
            ? u"ルームが見つからないときは、端末で「mirelune-room doctor」を実行すると原因を調べられます。"_s
            : QString());
    if (lstSessions->count() > 0) {
        lstSessions->setCurrentRow(0);
    }
    return Listing::Listed;
}

bool frmSet::UpdateSessionList() {
    return listRooms() == Listing::Listed;
}

void frmSet::cmdRefresh_Click() {
    const BusyCursor busy;
    UpdateSessionList();
}

void frmSet::cmdCreate_Click() {
    cmdNext_Click();
    basGlobal::roomName = txtChatName->text();
    hide();
    if (txtChatName->text().isEmpty()) {
        showMessage(this, kNameRequired, kErrorTitle);
        show();
        return;
    }

    session::RoomDescription room;
    room.name = txtChatName->text();
    room.applicationId = QString::fromUtf16(session::kApplicationId);
    room.numericAttribute = 4;
    room.password = txtChatPass->text();

    session::SessionService* service = basGlobal::sessionService.get();
    const session::Status opened = service ? service->openRoom(room, session::OpenMode::CreateAndHost) : noService();
    basGlobal::localPlayerName = txtYourName->text();
    if (opened) {
        showKeyNotice(this, *service);
    }
    if (!opened || basGlobal::RegisterEventReceiver() == 0) {
        if (!opened) {
            qCInfo(lcSetup) << "creating the room failed:" << opened.error().description;
        }
        showMessage(this, u"セッションの作成に失敗しました"_s);
        show();
        return;
    }

    const auto player =
        service->createLocalPlayer(basGlobal::localPlayerName, u"Player 1 (Host)"_s, basGlobal::eventHandle, 0);
    if (!player) {
        qCInfo(lcSetup) << "creating the host player failed:" << player.error().description;
        leaveUnenteredRoom();
        if (player.error().code == session::kErrorInvalidName) {
            show();
            returnToNamePage();
            return;
        }
        showMessage(this, u"ホストプレーヤーの作成に失敗しました"_s);
        if (player.error().code == session::kErrorInvalidPlayer) {
            showMessage(this, u"INVALIDPLAYER"_s);
        }
        show();
        return;
    }
    basGlobal::localPlayerId = player.value();
    enterRoom();
}

void frmSet::cmdJoin_Click() {
    cmdNext_Click();
    const int row = lstSessions->currentRow();
    if (row < 0) {
        return; // nothing listed (Join is disabled then)
    }
    basGlobal::roomName = lstSessions->item(row)->text();
    auto listed = basGlobal::roomList.item(row + 1);
    session::SessionService* service = basGlobal::sessionService.get();
    session::Status opened = noService();
    bool keyDeclined = false;
    if (!listed) {
        opened = failed(listed.error());
    } else if (service != nullptr) {
        session::RoomDescription room = listed.value();
        // The password travels only inside the description; the service checks it.
        room.password = txtChatPass->text();
        // Before the handle name goes out: a room that answers with another key than
        // at the last join is the user's to accept.
        service->setRoomKeyCheck([this, &keyDeclined](const session::RoomKeySeen& seen) {
            if (!seen.changed()) {
                return true;
            }
            keyDeclined =
                !JapaneseMessageBox::askYesNo(roomKeyChangedText(seen), {}, this, JapaneseMessageBox::Default::No);
            return !keyDeclined;
        });
        opened = service->openRoom(room, session::OpenMode::Join);
        if (closed) {
            return; // the user quit while the room was joined: the service is gone
        }
        service->setRoomKeyCheck({});
    }
    if (closed) {
        return; // the user quit while the room was joined
    }
    if (!opened && keyDeclined) {
        return; // the user chose not to join: the page stays as it was
    }
    if (opened) {
        showKeyNotice(this, *service);
    }
    if (!opened) {
        qCInfo(lcSetup) << "joining the room failed:" << opened.error().description;
        showMessage(this, u"セッションへの参加に失敗しました"_s);
        UpdateSessionList();
        return;
    }

    basGlobal::localPlayerName = txtYourName->text();
    basGlobal::RegisterEventReceiver();
    const auto player = service->createLocalPlayer(basGlobal::localPlayerName, u"Player"_s, basGlobal::eventHandle, 0);
    if (closed) {
        return;
    }
    if (!player) {
        qCInfo(lcSetup) << "creating the player failed:" << player.error().description;
        leaveUnenteredRoom();
        if (player.error().code == session::kErrorInvalidName) {
            returnToNamePage();
            return;
        }
        showMessage(this, u"プレーヤーの作成に失敗しました"_s);
        return;
    }
    basGlobal::localPlayerId = player.value();
    enterRoom();
}

void frmSet::leaveUnenteredRoom() {
    const auto connection = basGlobal::connectionList.item(initializedConnection + 1);
    if (!connection) {
        basGlobal::CloseSessionService();
        return;
    }
    // The restarted service knows the same rooms, and the page still lists them: keep
    // the list the entries stand for, so that the next Join finds its room.
    session::OneBasedList<session::RoomDescription> listed = basGlobal::roomList;
    if (!basGlobal::RestartSessionService(connection.value())) {
        qCWarning(lcSetup) << "the session service could not be started again";
    }
    basGlobal::roomList = std::move(listed);
}

void frmSet::returnToNamePage() {
    // The room refuses a name it already has and one that could pose as another line
    // of the log; the second is known here without asking.
    const QString reason = session::isAllowedHandleName(txtYourName->text())
                               ? u"この名前はすでにルームで使われています。別の名前を入力してください。"_s
                               : u"この名前は使えません。「> 」や目に見えない文字を含まない名前を入力してください。"_s;
    showMessage(this, reason);
    nameRefused = true;
    currentPage = 1;
    picRgn[1]->show();
    picRgn[2]->hide();
    cmdNext->setEnabled(true);
    // The service stays initialised on its connection: another one cannot be chosen.
    lstConnections->setEnabled(false);
    txtYourName->setFocus();
    txtYourName->selectAll();
}

void frmSet::enterRoom() {
    entered = true;
    hide();
    Q_EMIT roomEntered();
}
