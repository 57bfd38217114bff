#include "window/TransfersWindow.h"

#include "transfer/FileName.h"
#include "transfer/FileTransfers.h"
#include "transfer/TransferTexts.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace window {

namespace {

QString defaultSavePath(QWidget* parent, const QString& proposed) {
    // The dialog asks before it replaces a file that is there already.
    return QFileDialog::getSaveFileName(parent, u"ファイルの保存先"_s, proposed);
}

void openFolder(const QString& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

// "12.3 MB / 50.0 MB　4.1 MB/秒　残り 9 秒"
QString progressText(const transfer::TransferInfo& info) {
    QString text = transfer::texts::size(info.done) + u" / "_s + transfer::texts::size(info.size);
    if (info.bytesPerSecond > 0) {
        text += u"　"_s + transfer::texts::size(static_cast<qint64>(info.bytesPerSecond)) + u"/秒"_s;
    }
    if (info.secondsLeft >= 60) {
        text += u"　残り %1 分 %2 秒"_s.arg(info.secondsLeft / 60).arg(info.secondsLeft % 60);
    } else if (info.secondsLeft >= 0) {
        text += u"　残り %1 秒"_s.arg(info.secondsLeft);
    }
    return text;
}

} // namespace

TransfersWindow::TransfersWindow(transfer::FileTransfers& transfers, QWidget* parent)
    : QWidget(parent, Qt::Tool), m_transfers(transfers), m_prompt(defaultSavePath), m_opener(openFolder) {
    setWindowTitle(u"ファイルの受け渡し"_s);
    resize(460, 300);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* inner = new QWidget(scroll);
    m_list = new QVBoxLayout(inner);
    m_empty = new QLabel(
        u"受け渡し中のファイルはありません。\nチャット画面にファイルをドロップするか、貼り付けると送れます。"_s, inner);
    m_list->addWidget(m_empty);
    m_list->addStretch(1);
    scroll->setWidget(inner);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    for (const transfer::TransferInfo& info : m_transfers.transfers()) {
        addRow(info.number);
    }
    connect(&m_transfers, &transfer::FileTransfers::transferAdded, this, [this](int number) {
        addRow(number);
        showQuietly();
    });
    connect(&m_transfers, &transfer::FileTransfers::transferChanged, this, &TransfersWindow::updateRow);
}

const TransfersWindow::Row* TransfersWindow::row(int number) const {
    const auto it = m_rows.constFind(number);
    return it == m_rows.constEnd() ? nullptr : &*it;
}

void TransfersWindow::showQuietly() {
    if (!isVisible()) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        show();
    }
    raise();
}

void TransfersWindow::addRow(int number) {
    if (m_rows.contains(number)) {
        return;
    }
    m_empty->hide();
    Row row;
    row.box = new QWidget(m_list->parentWidget());
    auto* lines = new QVBoxLayout(row.box);
    lines->setContentsMargins(4, 4, 4, 4);
    row.title = new QLabel(row.box);
    row.title->setWordWrap(true);
    row.bar = new QProgressBar(row.box);
    row.bar->setRange(0, 1000);
    row.bar->setTextVisible(true);
    row.status = new QLabel(row.box);
    row.status->setWordWrap(true);
    auto* buttons = new QHBoxLayout;
    row.accept = new QPushButton(u"受け取る"_s, row.box);
    row.decline = new QPushButton(u"断る"_s, row.box);
    row.cancel = new QPushButton(u"中止"_s, row.box);
    row.open = new QPushButton(u"フォルダを開く"_s, row.box);
    buttons->addStretch(1);
    for (QPushButton* button : {row.accept, row.decline, row.cancel, row.open}) {
        buttons->addWidget(button);
    }
    lines->addWidget(row.title);
    lines->addWidget(row.bar);
    lines->addWidget(row.status);
    lines->addLayout(buttons);
    // Newest first, above the older ones.
    m_list->insertWidget(0, row.box);
    connect(row.accept, &QPushButton::clicked, this, [this, number] { acceptOffer(number); });
    connect(row.decline, &QPushButton::clicked, this, [this, number] { m_transfers.decline(number); });
    connect(row.cancel, &QPushButton::clicked, this, [this, number] { m_transfers.cancel(number); });
    connect(row.open, &QPushButton::clicked, this, [this, number] {
        if (const auto info = m_transfers.transfer(number); info && !info->savedPath.isEmpty()) {
            m_opener(QFileInfo(info->savedPath).absolutePath());
        }
    });
    m_rows.insert(number, row);
    updateRow(number);
}

void TransfersWindow::updateRow(int number) {
    const auto it = m_rows.find(number);
    const std::optional<transfer::TransferInfo> info = m_transfers.transfer(number);
    if (it == m_rows.end() || !info) {
        return;
    }
    using State = transfer::TransferInfo::State;
    Row& row = *it;
    const QString size = transfer::texts::size(info->size);
    const QString peer = info->toRoom ? u"ルームの全員"_s : info->peerName + u" さん"_s;
    row.title->setText(info->incoming ? u"%1 さんから「%2」（%3）"_s.arg(info->peerName, info->fileName, size)
                                      : u"%1へ「%2」（%3）"_s.arg(peer, info->fileName, size));
    row.bar->setValue(info->size > 0 ? static_cast<int>(info->done * 1000 / info->size)
                                     : (info->state == State::Done ? 1000 : 0));
    row.bar->setFormat(u"%p%"_s);
    QString status = info->message;
    if (info->state == State::Running) {
        status = progressText(*info);
    } else if (status.isEmpty() && info->state == State::Done && !info->savedPath.isEmpty()) {
        status = u"%1 に保存しました。"_s.arg(QDir::toNativeSeparators(info->savedPath));
    }
    row.status->setText(status);
    const bool offered = info->incoming && info->state == State::Offered;
    row.accept->setVisible(offered);
    row.decline->setVisible(offered);
    row.cancel->setVisible(info->state == State::Running || info->state == State::Waiting ||
                           (!info->incoming && info->state == State::Offered));
    row.open->setVisible(info->incoming && info->state == State::Done && !info->savedPath.isEmpty());
    row.bar->setVisible(info->state == State::Running || info->state == State::Waiting || info->state == State::Done);
}

void TransfersWindow::acceptOffer(int number) {
    const std::optional<transfer::TransferInfo> info = m_transfers.transfer(number);
    if (!info) {
        return;
    }
    const QString proposed = QDir(transfer::defaultDownloadFolder()).filePath(info->fileName);
    const QString path = m_prompt(this, proposed);
    if (path.isEmpty()) {
        return; // the offer stays; the user may take it later
    }
    // The dialog asked before a file already there would be replaced.
    m_transfers.accept(number, path, true);
}

} // namespace window
