// The chat window's files: the room's transfers, the window that shows them, and the
// files and pictures the user drops on the window or pastes into the entry.
#include "setup/basGlobal.h"
#include "transfer/FileTransfers.h"
#include "window/EntryBox.h"
#include "window/TransfersWindow.h"
#include "window/frmMain.h"

#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

void frmMain::attachFiles() {
    if (m_files != nullptr || !basGlobal::sessionService) {
        return;
    }
    m_files = new transfer::FileTransfers(*basGlobal::sessionService, this);
    m_files->setLocalPlayer(basGlobal::localPlayerId);
    // The largest file this user takes, in MB (`LargestFileMB` in [Custom]); an offer
    // above it is shown as refused. A value that is no number from 1 to 1 TiB keeps 2 GB.
    bool valid = false;
    const qint64 largest =
        basGlobal::settingsFile().read(u"Custom"_s, u"LargestFileMB"_s, u"2048"_s).trimmed().toLongLong(&valid);
    if (valid && largest > 0 && largest <= transfer::kMostLargestFileMb) {
        m_files->setLargestFile(largest * 1024 * 1024);
    }
    // Offers come as messages of their own kind; the chat core hands them over, and
    // says who left and when the room ended.
    m_controller->setFileHooks(chat::ChatController::FileHooks{
        [files = QPointer(m_files)](session::PlayerId from, session::PlayerId to, const session::Message& offer) {
            return files && files->offerReceived(from, to, offer);
        },
        [files = QPointer(m_files)](session::PlayerId id) {
            if (files) {
                files->playerLeft(id);
            }
        },
        [files = QPointer(m_files)] {
            if (files) {
                files->roomEnded();
            }
        },
        [files = QPointer(m_files)](session::PlayerId, const session::Message& offer) {
            if (files) {
                files->offerUndelivered(offer);
            }
        },
    });
    connect(m_files, &transfer::FileTransfers::notice, this, [this](const QString& text) {
        if (m_controller) {
            m_controller->log().addToLog(text);
        }
    });
    m_transfersWindow = new window::TransfersWindow(*m_files, this);
    connect(new QShortcut(QKeySequence(u"Ctrl+J"_s), this), &QShortcut::activated, m_transfersWindow,
            [this] { m_transfersWindow->showQuietly(); });
    connect(txtEntry, &window::EntryBox::filesGiven, this, &frmMain::offerFiles);
    connect(txtEntry, &window::EntryBox::pictureGiven, this, &frmMain::offerPicture);
    // Files dropped anywhere on the window; the log takes none itself.
    setAcceptDrops(true);
    txtLog->setAcceptDrops(false);
}

void frmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (m_files != nullptr && !window::EntryBox::localFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void frmMain::dropEvent(QDropEvent* event) {
    const QStringList files = window::EntryBox::localFiles(event->mimeData());
    if (m_files != nullptr && !files.isEmpty()) {
        event->acceptProposedAction();
        offerFiles(files);
    }
}

void frmMain::offerFiles(const QStringList& paths) {
    if (m_files == nullptr || !m_controller) {
        return;
    }
    // To the member selected for a private line, as a private line would go.
    session::PlayerId to = session::kEveryone;
    if (const session::PlayerEntry* selected = m_controller->roster().selectedEntry();
        selected != nullptr && selected->id != basGlobal::localPlayerId) {
        to = selected->id;
    }
    for (const QString& path : paths) {
        m_files->offerFile(path, to);
    }
}

void frmMain::offerPicture(const QImage& picture) {
    // The picture becomes a file the receivers can open; it stays in this user's cache
    // while the offer may be taken, that is until this window closes. Pictures a copy
    // that ended without closing its window left behind go after a week (another copy
    // of the program, in another room, may still offer its own).
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + u"/pasted"_s;
    if (!QDir().mkpath(folder)) {
        m_controller->log().addToLog(u"貼り付けた画像を保存できませんでした。"_s);
        return;
    }
    if (m_pastedPictures.isEmpty()) {
        const QDateTime weekAgo = QDateTime::currentDateTime().addDays(-7);
        for (const QFileInfo& left : QDir(folder).entryInfoList({u"*.png"_s}, QDir::Files)) {
            if (left.lastModified() < weekAgo) {
                QFile::remove(left.filePath());
            }
        }
    }
    const QString name = u"画像_%1.png"_s.arg(QDateTime::currentDateTime().toString(u"yyyyMMdd_HHmmss_zzz"_s));
    const QString path = QDir(folder).filePath(name);
    if (!picture.save(path, "PNG")) {
        QFile::remove(path); // nothing half-written stays
        m_controller->log().addToLog(u"貼り付けた画像を保存できませんでした。"_s);
        return;
    }
    m_pastedPictures.append(path);
    offerFiles({path});
}
