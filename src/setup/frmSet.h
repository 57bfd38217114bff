#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <deque>

class QCheckBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// The setup window: a welcome page, the page for the connection and the handle name,
// and the room page, where a room is created or joined. The pages run forward, except
// that a handle name the room refuses leads back to the name page.
// Once a room has been entered the window hides for good and announces roomEntered();
// whoever started the program shows the chat window then.
class frmSet : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxHandleNameLength = 25;

    explicit frmSet(QWidget* parent = nullptr);
    ~frmSet() override;

    // Index of the visible page, 0 to 2.
    int page() const { return currentPage; }

    // The three pages, all at one place; exactly one is visible.
    std::array<QFrame*, 3> picRgn{};
    QPushButton* cmdExit = nullptr;
    QPushButton* cmdNext = nullptr;

    // Page 0, welcome.
    QCheckBox* chkViewOff = nullptr;
    // Page 1, connection and name.
    QListWidget* lstConnections = nullptr;
    QLineEdit* txtYourName = nullptr;
    // Page 2, rooms.
    QListWidget* lstSessions = nullptr;
    QPushButton* cmdRefresh = nullptr;
    QPushButton* cmdJoin = nullptr;
    QPushButton* cmdCreate = nullptr;
    QLineEdit* txtChatName = nullptr;
    QLineEdit* txtChatPass = nullptr;

public Q_SLOTS:
    // Starts the session service, fills the window from the settings and may skip
    // the welcome page. False when the program has ended instead; the window must
    // not be shown then.
    bool Form_Load();

    void cmdNext_Click();
    void cmdExit_Click();
    void cmdRefresh_Click();
    void cmdJoin_Click();
    void cmdCreate_Click();

    // Lists the rooms of the initialised connection with the typed password.
    bool UpdateSessionList();
    bool InitConnectionList();

Q_SIGNALS:
    // A room has been created or joined and the window is hidden for the rest of the
    // run; the session state names the room and the local player.
    void roomEntered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Listing { Listed, ServiceFailed, ReadingFailed };

    void buildWelcomePage();
    void buildConnectionPage();
    void buildRoomPage();
    QLabel* addLabel(QWidget* page, const QString& text, int left, int top, int width, int height, bool bold);

    // Runs a button's handler, or, while another handler still waits on the network
    // (its wait keeps the window responsive), holds the click until that one is done:
    // one handler at a time.
    void handleClick(QPushButton* button, void (frmSet::*handler)());
    void advance();
    Listing listRooms();
    // Leaves a room that was opened but could not be entered, so that it is not left
    // hanging, empty, in other copies' lists.
    void leaveUnenteredRoom();
    // After the room refused the handle name: page 1 again, with the reason and the
    // name selected. The connection and the listed rooms stay as they are.
    void returnToNamePage();
    void enterRoom();

    // Wizard state.
    qint16 currentPage = 0;
    qint16 greetSetting = 0;
    QString playerSetting;
    QString roomSetting;
    // The connection the session service was initialised with (row of lstConnections).
    int initializedConnection = -1;
    // Page 1 was shown again after a refused name: its Next keeps the connection and
    // the rooms already listed.
    bool nameRefused = false;
    bool entered = false;
    // The window has been closed (Exit or its frame); the program is ending.
    bool closed = false;

    struct PendingClick {
        QPushButton* button = nullptr;
        void (frmSet::*handler)() = nullptr;
    };
    bool handlerRunning = false;
    std::deque<PendingClick> pendingClicks;
};
