#pragma once

#include <QHash>
#include <QWidget>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace transfer {
class FileTransfers;
}

namespace window {

// The files this copy offers and is offered, one row each: who, which file, how far,
// how fast, and what can be done with it (take it, decline it, cancel it, open its
// folder). A tool window beside the chat window; it comes up without taking the focus
// when something new arrives, and Ctrl+J brings it back.
class TransfersWindow : public QWidget {
    Q_OBJECT

public:
    explicit TransfersWindow(transfer::FileTransfers& transfers, QWidget* parent = nullptr);

    // Asks where an offered file goes, proposing `proposed` (a path in the download
    // folder); empty cancels. The save dialog by default; tests answer themselves.
    using SavePathPrompt = std::function<QString(QWidget* parent, const QString& proposed)>;
    void setSavePathPrompt(SavePathPrompt prompt) { m_prompt = std::move(prompt); }
    // The folder a finished file's "フォルダを開く" opens; the desktop's by default.
    using FolderOpener = std::function<void(const QString& folder)>;
    void setFolderOpener(FolderOpener opener) { m_opener = std::move(opener); }

    struct Row {
        QWidget* box = nullptr;
        QLabel* title = nullptr;
        QProgressBar* bar = nullptr;
        QLabel* status = nullptr;
        QPushButton* accept = nullptr;
        QPushButton* decline = nullptr;
        QPushButton* cancel = nullptr;
        QPushButton* open = nullptr;
    };
    // The row of a transfer, nullptr for none.
    const Row* row(int number) const;

    // Shows the window without taking the focus from the chat window.
    void showQuietly();

private:
    void addRow(int number);
    void updateRow(int number);
    void acceptOffer(int number);

    transfer::FileTransfers& m_transfers;
    QVBoxLayout* m_list = nullptr;
    QLabel* m_empty = nullptr;
    QHash<int, Row> m_rows;
    SavePathPrompt m_prompt;
    FolderOpener m_opener;
};

} // namespace window
