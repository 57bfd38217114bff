#include "window/frmMain.h"

#include "chat/ChatController.h"
#include "chat/ChatTexts.h"
#include "platform/ProgramFolder.h"
#include "platform/SettingsValues.h"
#include "platform/Twips.h"
#include "setup/JapaneseMessageBox.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/ChatTray.h"
#include "window/ClickLabel.h"
#include "window/DesktopNotifications.h"
#include "window/EntryBox.h"
#include "window/FaceMarks.h"
#include "window/FindBar.h"
#include "window/LogSearch.h"
#include "window/PictureButton.h"
#include "window/SavedLog.h"
#include "window/WindowLogging.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QUrl>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

const QString kDesignedCaption = u"Mirelune"_s;
const QString kQuitTitle = u"Mirelune - Quit"_s;
const QString kCustom = u"Custom"_s;
const QString kAbsent = u"$$$Nothing$$$"_s;
// How long quitting waits for the notification service to take the saved log's notice.
constexpr int kToldTimeoutMs = 1000;

// The log keeps CR LF line ends; the box shows lines, its newest at the bottom.
QString shownForm(QString part) {
    part.replace(u"\r\n"_s, u"\n"_s);
    if (part.endsWith(u'\n'))
        part.chop(1);
    return part;
}

QString customSetting(const QString& key, const QString& defaultValue) {
    return basGlobal::settingsFile().read(kCustom, key, defaultValue);
}

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(u"frmMain"_s);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(kDesignedCaption);
    buildControls();
    applyStartupGeometry();

    connect(picSend, &window::PictureButton::clicked, this, &frmMain::cmdSend_Click);
    connect(cmdSend, &QPushButton::clicked, this, &frmMain::cmdSend_Click);
    connect(picExit, &window::PictureButton::clicked, this, &frmMain::cmdExit_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(cmdWhisper, &QPushButton::clicked, this, &frmMain::cmdWhisper_Click);
    connect(cmdInsMark, &QPushButton::clicked, this, &frmMain::cmdInsMark_Click);
    connect(cmdInsSnd, &QPushButton::clicked, this, &frmMain::cmdInsSnd_Click);
    connect(lstRoster, &QListWidget::itemSelectionChanged, this, &frmMain::lstRoster_Click);
    connect(txtEntry, &QPlainTextEdit::cursorPositionChanged, this, &frmMain::showCaretLineWhole);
    connect(txtEntry, &QPlainTextEdit::textChanged, this, &frmMain::showCaretLineWhole);
    connect(txtEntry, &window::EntryBox::preeditChanged, this, &frmMain::showCaretLineWhole);
    connect(imgHide, &window::ClickLabel::clicked, this, &frmMain::imgHide_Click);
    for (std::size_t i = 0; i < lblMenus.size(); ++i) {
        const int index = static_cast<int>(i);
        connect(lblMenus[i], &window::ClickLabel::mouseUp, this,
                [this, index](Qt::MouseButton button) { lblMenus_MouseUp(index, window::buttonNumber(button)); });
        connect(lblMenus[i], &window::ClickLabel::doubleClicked, this, [this, index] { lblMenus_DblClick(index); });
    }
    connect(lblHelp1, &window::ClickLabel::clicked, this,
            [this] { toggleHelp(lblHelp1, window::HelpLabel::lblHelp1); });
    connect(lblHelp2, &window::ClickLabel::clicked, this,
            [this] { toggleHelp(lblHelp2, window::HelpLabel::lblHelp2); });
    connect(lblHelp3, &window::ClickLabel::clicked, this,
            [this] { toggleHelp(lblHelp3, window::HelpLabel::lblHelp3); });
    connect(lblHelp5, &window::ClickLabel::clicked, this,
            [this] { toggleHelp(lblHelp5, window::HelpLabel::lblHelp5); });

    connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, findBar, &window::FindBar::open);
    connect(new QShortcut(QKeySequence::FindNext, this), &QShortcut::activated, this, [this] {
        if (findBar->isVisible())
            findBar->findNext();
    });
    connect(new QShortcut(QKeySequence::FindPrevious, this), &QShortcut::activated, this, [this] {
        if (findBar->isVisible())
            findBar->findNext(true);
    });

    // Key releases reach the window before the control that has the focus.
    qApp->installEventFilter(this);
}

frmMain::~frmMain() {
    qApp->removeEventFilter(this);
    if (m_controller) {
        basGlobal::eventReceiver = nullptr;
        m_controller->detachService();
    }
    // Nobody can take their offers any more.
    for (const QString& path : std::as_const(m_pastedPictures)) {
        QFile::remove(path);
    }
}

void frmMain::followWizard(frmSet& wizard) {
    QObject::connect(&wizard, &frmSet::roomEntered, &wizard, [] {
        auto* window = new frmMain;
        window->Form_Load();
        window->show();
    });
}

bool frmMain::easySound() const {
    return m_controller && m_controller->easySound();
}

// --- Lifecycle ---------------------------------------------------------------------

void frmMain::showWhereReached() {
    const quint16 port = basGlobal::sessionService ? basGlobal::sessionService->hostingPort() : 0;
    // The room's key, as its members compare it (`mirelune-room` prints the same).
    const QString fingerprint = basGlobal::sessionService ? basGlobal::sessionService->roomFingerprint() : QString();
    const QString key = fingerprint.isEmpty() ? QString() : u"ルームの鍵の指紋: "_s + fingerprint;
    if (port == 0) {
        picRgn[3]->setToolTip(key);
        Image1->setToolTip(key);
        return;
    }
    using Stage = session::PortMappingState::Stage;
    const session::PortMappingState mapping = basGlobal::sessionService->portMapping();
    QString where = u"このルームへの接続先:\n"_s + basGlobal::sessionService->hostingAddresses().join(u'\n');
    if (mapping.stage == Stage::Mapped) {
        where += u"\nインターネットからの接続先:\n"_s + mapping.externalAddress + u':' +
                 QString::number(mapping.externalPort) + u"\n(ルーターが UPnP で転送しています)"_s;
    } else if (mapping.stage == Stage::Asking) {
        where += u"\n(ルーターに UPnP でポートの転送を頼んでいます)"_s;
    } else {
        where += u"\n(インターネットからは、ルーターでこのポートの転送が必要です)"_s;
    }
    if (!key.isEmpty()) {
        where += u'\n' + key;
    }
    picRgn[3]->setToolTip(where);
    Image1->setToolTip(where);
}

void frmMain::Form_Load() {
    if (m_programFolder.isEmpty()) {
        m_programFolder = platform::dataFolder();
    }

    // The chat core takes over the session's events from here on.
    if (basGlobal::sessionService && !m_controller) {
        m_controller = new chat::ChatController(*basGlobal::sessionService, m_sounds, *this, this);
        m_controller->setLocalPlayer(basGlobal::localPlayerId, basGlobal::localPlayerName);
        // The box shows the capped log; the saved log holds the whole session.
        m_controller->log().keepWholeSession();
        findBar->setWholeSession(
            [this] { return m_controller ? shownForm(m_controller->log().wholeSession().text()) : QString(); });
        connect(&m_controller->log(), &chat::ChatLog::textChanged, this, &frmMain::logChanged);
        // What was said before this user came flags nothing: it is not news.
        connect(&m_controller->log(), &chat::ChatLog::lineAdded, this,
                [this] { m_lineSinceShown = m_lineSinceShown || !m_controller->addingHistory(); });
        m_logRefresh.setSingleShot(true);
        connect(&m_logRefresh, &QTimer::timeout, this, &frmMain::showLog);
        connect(&m_controller->roster(), &chat::Roster::rowsReplaced, this, &frmMain::showRosterRows);
        connect(m_controller, &chat::ChatController::whisperEnabledChanged, cmdWhisper, &QPushButton::setEnabled);
        basGlobal::eventReceiver = [controller = m_controller](qint32 eventId) {
            if (controller) {
                controller->DirectXEvent_DXCallBack(eventId);
            }
        };
        m_controller->UpdateRoster();
        cmdWhisper->setEnabled(m_controller->whisperEnabled());
        attachFiles();
    }

    m_caption = kDesignedCaption + u" - ["_s + basGlobal::roomName + u"]"_s;
    setWindowTitle(m_caption);
    if (m_controller) {
        m_notifier.setRoomName(basGlobal::roomName);
        m_notifier.setOwnName(basGlobal::localPlayerName);
        m_notifier.setWindowActive(isActiveWindow());
        connect(m_controller, &chat::ChatController::lineReceived, &m_notifier, &chat::ChatNotifier::lineArrived,
                Qt::UniqueConnection);
        if (!m_desktop) {
            m_tray = new window::ChatTray(this);
            connect(m_tray, &window::ChatTray::showWindowRequested, this, &frmMain::showFromNotice);
            connect(m_tray, &window::ChatTray::quitRequested, this, [this] {
                showFromNotice();
                close();
            });
            m_desktop = new window::DesktopNotifications(this);
            m_desktop->setFallback(m_tray->icon());
            connect(m_desktop, &window::DesktopNotifications::clicked, this, &frmMain::showFromNotice);
            connect(&m_notifier, &chat::ChatNotifier::notice, m_desktop,
                    [this](const chat::ChatNotice& notice) { m_desktop->show(notice.summary, notice.body); });
            connect(&m_notifier, &chat::ChatNotifier::unreadChanged, this, &frmMain::showUnread);
        }
        m_tray->setCaption(m_caption);
    }
    // The router answers a port mapping a moment after the room opened.
    if (basGlobal::sessionService) {
        connect(basGlobal::sessionService.get(), &session::SessionService::portMappingChanged, this,
                &frmMain::showWhereReached, Qt::UniqueConnection);
    }
    showWhereReached();
    m_sounds.loadBuiltinSounds();
    applySettings();

    if (m_controller) {
        m_controller->interpreter().setExtScriptAllowed(false);
        m_controller->interpreter().setSoundScriptPlayed(false);
    }
    applyStartupGeometry();
    if (platform::storedFromCheckState(chkBTStyle->checkState()) == 1) {
        imgHide_Click();
    }

    fillFaceMarks();
    fillSoundScripts();
    // The face-mark list is never empty here (the built-in list stands in for an
    // empty file), so the sound list is always given its first entry as well.
    if (cmbFaceMark->count() == 0) {
        QStringList defaults;
        window::FillDefaultFaceMarks(defaults);
        cmbFaceMark->addItems(defaults);
    }
    cmbFaceMark->setCurrentIndex(0);
    if (cmbSndScript->count() == 0) {
        disableSoundScripts();
    } else {
        cmbSndScript->setCurrentIndex(0);
    }
}

void frmMain::applySettings() {
    // Each value on its own: one that cannot be used leaves its control as designed.
    if (const auto state = platform::toCheckState(basGlobal::readSetting(u"Log"_s, u"0"_s))) {
        chkLog->setCheckState(platform::checkStateFromStored(*state));
    }
    if (const auto state = platform::toCheckState(basGlobal::readSetting(u"Style"_s, u"0"_s))) {
        chkBTStyle->setCheckState(platform::checkStateFromStored(*state));
    }
    if (const auto easy = platform::toInteger(customSetting(u"EasySound"_s, u"0"_s)); easy && m_controller) {
        m_controller->setEasySound(*easy != 0);
    }
    QPalette logPalette = txtLog->palette();
    if (const auto colour = platform::toColour(customSetting(u"LogFColor"_s, u"80000008"_s), palette())) {
        logPalette.setColor(QPalette::Text, *colour);
    }
    if (const auto colour = platform::toColour(customSetting(u"LogBColor"_s, u"80000005"_s), palette())) {
        logPalette.setColor(QPalette::Base, *colour);
    }
    txtLog->setPalette(logPalette);
    QFont logFont = txtLog->font();
    if (const QString name = customSetting(u"LogFontName"_s, kAbsent); name != kAbsent && !name.isEmpty()) {
        logFont.setFamily(name);
    }
    // Size 0 has no meaning for a font here; it leaves the designed size.
    if (const auto size = platform::toFontSize(customSetting(u"LogFontSize"_s, kAbsent)); size && *size > 0) {
        logFont.setPointSize(*size);
    }
    txtLog->setFont(logFont);
    applyNoticeSettings();
}

void frmMain::applyNoticeSettings() {
    if (!m_controller) {
        return;
    }
    m_notifier.setMode(chat::notifyModeFromSetting(customSetting(u"Notify"_s, u"0"_s)));
    m_notifier.setMentionWords(chat::mentionWordsFromSetting(customSetting(u"MentionWords"_s, QString())));
    if (const auto times = platform::toInteger(customSetting(u"ShowTime"_s, u"0"_s)); times && *times != 0) {
        m_controller->log().setTimeStamps([] { return QDateTime::currentDateTime(); });
    }
}

void frmMain::showUnread() {
    const int unread = m_notifier.unread();
    setWindowTitle(unread > 0 && !isActiveWindow() ? u"("_s + QString::number(unread) + u") "_s + m_caption
                                                   : m_caption);
    if (m_tray) {
        m_tray->setUnread(unread);
    }
}

void frmMain::showFromNotice() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && m_controller) {
        m_notifier.setWindowActive(isActiveWindow());
        showUnread();
    }
}

void frmMain::fillFaceMarks() {
    cmbFaceMark->addItems(window::loadFaceMarks(m_programFolder));
}

void frmMain::fillSoundScripts() {
    m_sounds.setListing(window::loadSoundListing(m_programFolder));
    cmbSndScript->addItems(m_sounds.listing().scriptEntries());
}

void frmMain::disableSoundScripts() {
    cmbSndScript->setEnabled(false);
    QPalette palette = cmbSndScript->palette();
    const QColor buttonFace = this->palette().color(QPalette::Button);
    palette.setColor(QPalette::Base, buttonFace);
    palette.setColor(QPalette::Button, buttonFace);
    cmbSndScript->setPalette(palette);
    cmdInsSnd->setEnabled(false);
}

void frmMain::closeEvent(QCloseEvent* event) {
    if (m_quitting || Form_Unload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

bool frmMain::Form_Unload() {
    if (!setup::JapaneseMessageBox::askYesNo(u"終了しますか？"_s, kQuitTitle, this)) {
        return false;
    }
    if (!saveLogOrAskToQuit()) {
        return false;
    }
    basGlobal::writeSetting(u"Log"_s, QString::number(platform::storedFromCheckState(chkLog->checkState())));
    basGlobal::writeSetting(u"Style"_s, QString::number(platform::storedFromCheckState(chkBTStyle->checkState())));

    m_quitting = true;
    basGlobal::eventReceiver = nullptr;
    if (m_controller) {
        m_controller->detachService();
    }
    basGlobal::CloseSessionService();
    basGlobal::EndProgram(0);
    return true;
}

bool frmMain::saveLogOrAskToQuit() {
    // Only a ticked box saves; a greyed one (state 2 from the file) does not.
    if (platform::storedFromCheckState(chkLog->checkState()) != 1) {
        return true;
    }
    const QString logText = m_controller ? m_controller->log().wholeSession().text()
                                         : chat::ChatLog::normalizeLineBreaks(txtLog->toPlainText());
    const QString fileName = window::savedLogFileName(QDateTime::currentDateTime());
    const auto saved = window::SaveLogFile(fileName, logText);
    if (saved) {
        // Started from the desktop's menu, the program's folder is the home folder,
        // where nobody would look: the user is told where the log went, on the
        // terminal and on the desktop, without holding up the quit.
        const QString told = chat::texts::logSavedTo(QFileInfo(fileName).absoluteFilePath());
        std::fprintf(stderr, "%s\n", told.toLocal8Bit().constData());
        if (m_desktop) {
            static_cast<void>(m_desktop->showAndWait(u"Mirelune"_s, told, kToldTimeoutMs));
        }
        return true;
    }
    qCInfo(lcWindow) << "saving the log failed:" << saved.error().fileName << saved.error().reason;
    // The log exists nowhere else: quitting loses it, so the user decides, and Enter
    // alone keeps the window open.
    return setup::JapaneseMessageBox::askYesNo(u"ログを保存できませんでした。\nファイル: "_s + saved.error().fileName +
                                                   u"\n理由: "_s + saved.error().reason +
                                                   u"\n\nログを保存せずに終了しますか？"_s,
                                               kQuitTitle, this, setup::JapaneseMessageBox::Default::No);
}

// --- Messaging -----------------------------------------------------------------------

void frmMain::setMessageTag(const QString& caption) {
    lblMesTag->setText(caption);
}

void frmMain::showMessageBox(const QString& text) {
    setup::JapaneseMessageBox::showOk(text, QString(), this);
}

void frmMain::restoreEntry(const QString& text) {
    // The text was written before anything the entry holds now, so it goes back in
    // front, on lines of its own: sending the entry again sends everything in the
    // order it was typed. What was typed since stays, and so does the caret in it.
    QTextCursor caret = txtEntry->textCursor();
    const int anchor = caret.anchor();
    const int position = caret.position();
    const bool wasEmpty = txtEntry->document()->isEmpty();
    const QString inserted = wasEmpty ? text : text + u'\n';
    QTextCursor start(txtEntry->document());
    start.insertText(inserted);
    if (wasEmpty) {
        caret.movePosition(QTextCursor::End);
    } else {
        caret.setPosition(anchor + static_cast<int>(inserted.size()));
        caret.setPosition(position + static_cast<int>(inserted.size()), QTextCursor::KeepAnchor);
    }
    txtEntry->setTextCursor(caret);
}

void frmMain::cmdSend_Click() {
    // While an input method composes, the entry holds only part of what the user is
    // writing: the button, Alt+A and Ctrl+Enter all leave it alone until the word
    // is committed, and nothing is sent, lost or split.
    if (!m_controller || composing()) {
        return;
    }
    const QString before = entryText();
    const chat::ChatController::EntryUpdate update = m_controller->cmdSend_Click(before);
    if (update.text != before) {
        txtEntry->setPlainText(update.text);
    }
    applyEntry(update.caretAtEnd, update.focusEntry);
}

void frmMain::cmdWhisper_Click() {
    if (!m_controller) {
        return;
    }
    const QString before = entryText();
    const chat::ChatController::EntryUpdate update = m_controller->cmdWhisper_Click(before);
    if (update.text != before) {
        txtEntry->setPlainText(update.text);
    }
    applyEntry(update.caretAtEnd, update.focusEntry);
}

QString frmMain::entryText() const {
    // The document keeps every character as typed and its line breaks as paragraph
    // separators; toPlainText() would also turn no-break spaces into spaces and line
    // separators (U+2028) into line breaks.
    QString text = txtEntry->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

bool frmMain::composing() const {
    return !m_composingIn.isNull();
}

void frmMain::showCaretLineWhole() {
    // The entry is one line high. It scrolls by whole lines, but scrolling a drawn
    // view keeps the fraction of a pixel by which a line's height is not whole, and
    // those fractions add up until the bottom of the line above shows at the top
    // and the caret's line is cut at the bottom. Scrolled while it is not drawn,
    // the view starts exactly at the caret's line.
    const QTextCursor cursor = txtEntry->textCursor();
    const QTextBlock block = cursor.block();
    QTextLayout* layout = block.layout();
    QScrollBar* lines = txtEntry->verticalScrollBar();
    if (layout == nullptr || layout->lineCount() == 0 || lines->maximum() <= lines->minimum()) {
        return;
    }
    // While an input method composes, the line to show is the one with its cursor
    // inside the word being composed.
    const QTextLine line = layout->lineForTextPosition(cursor.positionInBlock() + txtEntry->preeditCursor());
    if (!line.isValid()) {
        return;
    }
    const int caretLine = block.firstLineNumber() + line.lineNumber();
    QWidget* view = txtEntry->viewport();
    view->setUpdatesEnabled(false);
    lines->setValue(caretLine > lines->minimum() ? caretLine - 1 : caretLine + 1);
    lines->setValue(caretLine);
    view->setUpdatesEnabled(true);
    view->update();
}

void frmMain::applyEntry(bool caretAtEnd, bool focusEntry) {
    if (caretAtEnd) {
        txtEntry->moveCursor(QTextCursor::End);
    }
    if (focusEntry) {
        txtEntry->setFocus();
    }
}

void frmMain::cmdExit_Click() {
    close();
}

void frmMain::lstRoster_Click() {
    if (!m_controller) {
        return;
    }
    const QList<QListWidgetItem*> selected = lstRoster->selectedItems();
    m_controller->lstRoster_Click(selected.isEmpty() ? -1 : lstRoster->row(selected.first()));
}

void frmMain::logChanged() {
    if (m_logRefresh.isActive()) {
        return;
    }
    if (const qint64 since = m_logShownAt.isValid() ? m_logShownAt.elapsed() : kLogRefreshMs; since < kLogRefreshMs) {
        m_logRefresh.start(static_cast<int>(kLogRefreshMs - since));
        return;
    }
    showLog();
}

void frmMain::showLog() {
    m_logRefresh.stop();
    if (!m_controller) {
        return;
    }
    m_logShownAt.start();
    // A line that arrives while the user looks elsewhere flags the window (the
    // desktop's urgency hint) without taking the focus.
    if (std::exchange(m_lineSinceShown, false) && !isActiveWindow()) {
        QApplication::alert(this);
    }
    const QString& text = m_controller->log().text();
    // Nearly every change appends lines, and in a busy room the cap cuts the front
    // every few lines: the box then loses what was cut and takes the new lines instead
    // of laying the whole log out again, which cost more than everything else the
    // window does per line. A clear or a delete shows the whole text.
    const chat::ChatLog& log = m_controller->log();
    const qint64 cut = log.cutChars() - m_shownCut;
    const QStringView kept = cut >= 0 && cut < m_shownLog.size() ? QStringView(m_shownLog).sliced(cut) : QStringView();
    if (log.replacements() == m_shownReplacements && !kept.isEmpty() && text.size() > kept.size() &&
        text.startsWith(kept)) {
        QTextCursor cursor(txtLog->document());
        if (cut > 0) {
            // The box shows each CR LF as one line break.
            const qsizetype breaks = QStringView(m_shownLog).first(cut).count(u"\r\n");
            cursor.setPosition(static_cast<int>(cut - breaks), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(u'\n' + shownForm(text.sliced(kept.size())));
    } else {
        txtLog->setPlainText(shownForm(text));
    }
    m_shownLog = text;
    m_shownCut = log.cutChars();
    m_shownReplacements = log.replacements();
    txtLog->moveCursor(QTextCursor::End);
    txtLog->ensureCursorVisible();
}

void frmMain::showRosterRows(int first, int removed, int inserted) {
    // The controller has already cleared its selection and the button's state; the
    // list follows without reporting a selection change of its own.
    const QSignalBlocker blocker(lstRoster);
    for (int i = 0; i < removed; ++i) {
        delete lstRoster->takeItem(first);
    }
    const chat::Roster& roster = m_controller->roster();
    for (int row = first; row < first + inserted; ++row) {
        const session::PlayerEntry& entry = roster.entry(row);
        auto* item = new QListWidgetItem(entry.name);
        item->setData(Qt::UserRole, entry.id);
        lstRoster->insertItem(row, item);
    }
    lstRoster->selectionModel()->clear();
}

// --- Menu area -------------------------------------------------------------------------

void frmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int perPixel = platform::kTwipsPerPixel;
    applyMenuChange(m_menu.Form_Resize(QSize(width() * perPixel, height() * perPixel)));
    showCaretLineWhole();
}

void frmMain::imgHide_Click() {
    applyMenuChange(m_menu.imgHide_Click());
}

void frmMain::lblMenus_MouseUp(int index, int button) {
    applyMenuChange(m_menu.lblMenus_MouseUp(index, button));
}

void frmMain::lblMenus_DblClick(int index) {
    applyMenuChange(m_menu.lblMenus_DblClick(index));
}

// --- Composition aids ----------------------------------------------------------------------

void frmMain::applyEntryEdit(const window::EntryEdit& edit, bool setCaret) {
    txtEntry->setPlainText(edit.text);
    QTextCursor cursor = txtEntry->textCursor();
    cursor.setPosition(setCaret ? edit.caret : 0);
    txtEntry->setTextCursor(cursor);
}

void frmMain::cmdInsMark_Click() {
    // Reached by Alt+F without the focus moving, so an unfinished word may still be
    // with the input method; it is not rewritten under it.
    if (composing()) {
        return;
    }
    applyEntryEdit(window::cmdInsMark_Click(entryText(), cmbFaceMark->currentText()), false);
    txtEntry->setFocus();
}

void frmMain::cmdInsSnd_Click() {
    if (composing()) {
        return;
    }
    applyEntryEdit(window::cmdInsSnd_Click(entryText(), cmbSndScript->currentIndex()), false);
    txtEntry->setFocus();
}

void frmMain::toggleHelp(window::ClickLabel* label, window::HelpLabel which) {
    label->setText(window::toggledHelpCaption(which, label->text()));
}

bool frmMain::handleKeyUp(QKeyEvent* event) {
    const window::KeyAction action = window::Form_KeyUp(
        window::keyCodeFromQt(event->key()), window::shiftStateFromQt(event->modifiers()), event->isAutoRepeat());
    switch (action) {
    case window::KeyAction::None:
        return false;
    case window::KeyAction::ToggleMenus:
        imgHide_Click();
        break;
    case window::KeyAction::ShowTab0:
    case window::KeyAction::ShowTab1:
    case window::KeyAction::ShowTab2:
    case window::KeyAction::ShowTab3:
        lblMenus_MouseUp(window::tabOf(action).value_or(0), window::kLeftButton);
        break;
    case window::KeyAction::SoundCommand:
    case window::KeyAction::FaceMark:
    case window::KeyAction::ClearCommand:
        // Input methods convert the word being composed with the function keys
        // (hiragana, katakana, half-width...): while they compose, the keys are theirs.
        if (composing()) {
            return false;
        }
        if (action == window::KeyAction::SoundCommand) {
            applyEntryEdit(window::insertEmptySoundCommand(entryText()), true);
        } else if (action == window::KeyAction::FaceMark) {
            applyEntryEdit(window::appendFaceMark(entryText(), cmbFaceMark->currentText()), true);
        } else {
            applyEntryEdit(window::insertClearCommand(entryText()), true);
        }
        break;
    }
    return true;
}

QString frmMain::linkUnder(const QPoint& point) const {
    const QTextCursor cursor = txtLog->cursorForPosition(point);
    // The nearest position is found even beside the text; only a pointer over the
    // character itself counts.
    if (std::abs(txtLog->cursorRect(cursor).center().x() - point.x()) > txtLog->fontMetrics().averageCharWidth()) {
        return {};
    }
    return window::linkAt(cursor.block().text(), cursor.positionInBlock());
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    // Addresses in the log open on a click, with the pointer showing they would.
    if (watched == txtLog->viewport() && (type == QEvent::MouseMove || type == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QString link = linkUnder(mouse->position().toPoint());
        txtLog->viewport()->setCursor(link.isEmpty() ? Qt::IBeamCursor : Qt::PointingHandCursor);
        if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton && !link.isEmpty() &&
            !txtLog->textCursor().hasSelection()) {
            QDesktopServices::openUrl(QUrl(link));
        }
        return QWidget::eventFilter(watched, event);
    }
    if (type != QEvent::KeyRelease && type != QEvent::KeyPress && type != QEvent::InputMethod) {
        return QWidget::eventFilter(watched, event);
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this) {
        return QWidget::eventFilter(watched, event);
    }
    if (type == QEvent::InputMethod) {
        // A composition lasts from the first pre-edit text to the commit or
        // cancellation, which comes with an empty one.
        if (!static_cast<QInputMethodEvent*>(event)->preeditString().isEmpty()) {
            m_composingIn = watched;
        } else if (m_composingIn == watched) {
            m_composingIn = nullptr;
        }
    } else if (type == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // The Alt shortcuts act on the release; their press must not reach the
        // focused control as a typed letter. Access keys of visible buttons never
        // get here: Qt takes them as shortcuts before the press is delivered.
        if (window::isShortcutPress(window::keyCodeFromQt(key->key()), window::shiftStateFromQt(key->modifiers()))) {
            return true;
        }
        if (watched == txtEntry && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & Qt::ControlModifier)) {
            cmdSend_Click();
            return true;
        }
        if (watched == lstRoster && !key->text().isEmpty()) {
            lstRoster_Click();
        }
    } else if (type == QEvent::KeyRelease) {
        // Handled once, by the first widget that sees it; the release does not travel
        // on to the parents.
        if (handleKeyUp(static_cast<QKeyEvent*>(event))) {
            event->accept();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
