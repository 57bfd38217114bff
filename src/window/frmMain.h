#pragma once

#include "chat/ChatController.h"
#include "chat/ChatNotifier.h"
#include "chat/ChatOutputs.h"
#include "window/CompositionAids.h"
#include "window/MenuArea.h"
#include "window/WindowSounds.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

class QCheckBox;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QImage;
class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QKeyEvent;
class QResizeEvent;
class frmSet;

namespace transfer {
class FileTransfers;
}

namespace window {
class ChatTray;
class ClickLabel;
class DesktopNotifications;
class EntryBox;
class FindBar;
class PictureButton;
class TransfersWindow;
} // namespace window

// The chat window. It opens once a room has been entered and owns the session from
// then on: the log, the entry, the menu area with its four panels (members,
// extended send, options, version) and the Send and Exit picture buttons. Closing it
// (after a Yes to the quit question) leaves the room and ends the program.
//
// The controls are built in code at their design places (twips, 15 per pixel) and
// re-arranged on every resize; the arithmetic lives in MenuArea and ArrangeControls,
// the chat logic in chat::ChatController.
class frmMain : public QWidget, private chat::ChatView {
    Q_OBJECT

public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Where the face-mark file and the Sounds folder are looked up; the program
    // data folder (platform::dataFolder) unless set before Form_Load.
    void setProgramFolder(const QString& folder) { m_programFolder = folder; }

    // Shows a chat window whenever `wizard` has entered a room. The window deletes
    // itself when closed.
    static void followWizard(frmSet& wizard);

    chat::ChatController* controller() const { return m_controller; }
    const window::MenuArea& menuArea() const { return m_menu; }
    const window::WindowSounds& sounds() const { return m_sounds; }
    chat::ChatNotifier& notifier() { return m_notifier; }
    window::ChatTray* tray() const { return m_tray; }
    window::DesktopNotifications* desktopNotifications() const { return m_desktop; }
    // The room's file transfers and their window, once the room is open.
    transfer::FileTransfers* files() const { return m_files; }
    window::TransfersWindow* transfersWindow() const { return m_transfersWindow; }
    // Offers files (dropped or pasted) to the member selected in the roster, or to the
    // whole room when none is; a pasted picture goes as a PNG file.
    void offerFiles(const QStringList& paths);
    void offerPicture(const QImage& picture);
    bool easySound() const;

    // --- Controls ---------------------------------------------------------------
    QWidget* imgHeader = nullptr;
    QLabel* lblMesTag = nullptr;
    QPlainTextEdit* txtLog = nullptr;
    window::EntryBox* txtEntry = nullptr;

    // Menu panels.
    std::array<QWidget*, 4> picRgn{};
    // Panel 0, users.
    QListWidget* lstRoster = nullptr;
    QPushButton* cmdWhisper = nullptr;
    window::ClickLabel* lblHelp1 = nullptr;
    // Panel 1, extended send.
    QComboBox* cmbSndScript = nullptr;
    QPushButton* cmdInsSnd = nullptr;
    window::ClickLabel* lblHelp2 = nullptr;
    QComboBox* cmbFaceMark = nullptr;
    QPushButton* cmdInsMark = nullptr;
    window::ClickLabel* lblHelp3 = nullptr;
    // Panel 2, options.
    QCheckBox* chkLog = nullptr;
    QCheckBox* chkBTStyle = nullptr;
    window::ClickLabel* lblHelp5 = nullptr;
    // Panel 3, version.
    QLabel* Image1 = nullptr;

    // Tab strip.
    QWidget* picButtons = nullptr;
    std::array<window::ClickLabel*, 4> lblMenus{};
    QLabel* imgSelect = nullptr;
    QLabel* imgTerminator = nullptr;
    window::ClickLabel* imgHide = nullptr;
    QLabel* imgMenuBase = nullptr;
    QLabel* imgSpacer = nullptr;

    // Bottom strip.
    QWidget* picFooter = nullptr;
    QLabel* imgFooter = nullptr;
    window::PictureButton* picSend = nullptr;
    window::PictureButton* picExit = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdExit = nullptr;

    // Over the log, hidden until Ctrl+F.
    window::FindBar* findBar = nullptr;

public Q_SLOTS:
    // Start-up: roster, caption, sounds, settings, geometry, face marks and sounds.
    void Form_Load();

    void cmdSend_Click();
    void cmdWhisper_Click();
    void cmdExit_Click();
    void cmdInsMark_Click();
    void cmdInsSnd_Click();
    void lstRoster_Click();

    void imgHide_Click();
    void lblMenus_MouseUp(int index, int button);
    void lblMenus_DblClick(int index);

    // Brings the window up from behind others, minimised or hidden, and activates it:
    // a click on a notification or on the tray.
    void showFromNotice();

protected:
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // chat::ChatView
    void setMessageTag(const QString& caption) override;
    void showMessageBox(const QString& text) override;
    void restoreEntry(const QString& text) override;

    // Building the controls (frmMainControls.cpp).
    void buildControls();
    // Files: the transfers of the room, their window, drops and pastes (frmMainFiles.cpp).
    void attachFiles();
    void buildUsersPanel(QWidget* panel);
    void buildExtendedSendPanel(QWidget* panel);
    void buildOptionsPanel(QWidget* panel);
    void buildVersionPanel(QWidget* panel);
    void buildTabStrip();
    void buildFooter();
    void applyStartupGeometry();
    QWidget* arrangedWidget(window::Control control) const;
    void applyMenuChange(const window::MenuChange& change);

    // Load steps of their own.
    void applySettings();
    void applyNoticeSettings();
    // The title, the tray's tooltip and badge after the unread count changed.
    void showUnread();
    void fillFaceMarks();
    void fillSoundScripts();
    void disableSoundScripts();

    // Closing: the quit question, the saved log and the settings. False keeps the
    // window open.
    bool Form_Unload();
    bool saveLogOrAskToQuit();

    void showLog();
    void showRosterRows(int first, int removed, int inserted);
    // The version panel's tooltip of a hosting copy: where others reach the room, the
    // router's public address and port once it forwards them.
    void showWhereReached();
    // The entry's text exactly as typed, with LF line breaks.
    QString entryText() const;
    // An input method is composing a word somewhere in the window.
    bool composing() const;
    void applyEntry(bool caretAtEnd, bool focusEntry);
    // Scrolls the one-line entry so that the caret's line shows whole, from its top.
    void showCaretLineWhole();
    void applyEntryEdit(const window::EntryEdit& edit, bool setCaret);
    bool handleKeyUp(QKeyEvent* event);
    // The address in the log under a point of its viewport, if any.
    QString linkUnder(const QPoint& point) const;
    void toggleHelp(window::ClickLabel* label, window::HelpLabel which);

    // A change of the log shows at once, unless the box was brought up to date less
    // than a screen frame ago: then the changes of that frame show together.
    void logChanged();
    static constexpr int kLogRefreshMs = 16;

    QString m_programFolder;
    // The title as the room gives it; the unread count goes in front while the window
    // is not active.
    QString m_caption;
    chat::ChatNotifier m_notifier;
    window::DesktopNotifications* m_desktop = nullptr;
    window::ChatTray* m_tray = nullptr;
    window::MenuArea m_menu;
    window::WindowSounds m_sounds;
    QPointer<chat::ChatController> m_controller;
    transfer::FileTransfers* m_files = nullptr;
    window::TransfersWindow* m_transfersWindow = nullptr;
    // Pictures this window saved from the clipboard to offer them; removed with it.
    QStringList m_pastedPictures;
    // The log text the box shows (see showLog), when it was shown, and whether a line
    // came since.
    QString m_shownLog;
    qint64 m_shownCut = 0;          // the log's cutChars() then
    qint64 m_shownReplacements = 0; // and its replacements()
    QElapsedTimer m_logShownAt;
    QTimer m_logRefresh;
    bool m_lineSinceShown = false;
    // The control in which an input method is composing a word, if any.
    QPointer<QObject> m_composingIn;
    // The quit was confirmed and the program is ending.
    bool m_quitting = false;
};
