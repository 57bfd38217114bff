#pragma once

#include "common/BoxAnswerer.h"
#include "common/FakeSessionService.h"
#include "window/frmMain.h"

#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <optional>

inline const QString kYes = QStringLiteral("はい(&Y)");
inline const QString kNo = QStringLiteral("いいえ(&N)");

// A chat window in the room "MyChatRoom" of a fake session: the local player 太郎
// (id 1) with 花子 (id 2). Settings, program folder and current directory are
// folders of the test's own; the program's end is recorded.
class ChatWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void writeSettings(const QByteArray& lines);
    QByteArray settingsBytes() const;
    void addSounds(const QStringList& names);
    // Files of the current directory (where saved logs go).
    QStringList savedLogs() const;

    frmMain& openWindow();
    // Asks the window to close, answering its boxes with `answers`; true when it closed.
    bool closeWindow(const QStringList& answers, QList<testsupport::SeenBox>* seen = nullptr);

    QTemporaryDir m_dir;
    QString m_programFolder;
    QString m_workFolder;
    QString m_previousCurrent;
    testsupport::FakeSessionService* m_service = nullptr;
    std::optional<int> m_endedWith;
    QPointer<frmMain> m_window;
};
