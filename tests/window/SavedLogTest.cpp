#include "window/SavedLog.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// Runs the test body inside a fresh current directory and restores the old one.
class SavedLogInCurrentDir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_previous = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    }
    void TearDown() override { QDir::setCurrent(m_previous); }

    QString path(const QString& name) const { return QDir(m_dir.path()).canonicalPath() + u'/' + name; }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

TEST(SavedLog, NameFromTheLocalTime) {
    const struct {
        QDate date;
        QTime time;
        QString name;
    } cases[] = {
        {QDate(2001, 1, 2), QTime(9, 5, 3), u"20010102090503.txt"_s},
        {QDate(2026, 7, 4), QTime(13, 7, 8), u"20260704130708.txt"_s}, // afternoon hours count on
    };
    for (const auto& c : cases)
        EXPECT_EQ(window::savedLogFileName(QDateTime(c.date, c.time)), c.name);

    // A time given in another zone is named by the local clock.
    const QDateTime local(QDate(2001, 1, 2), QTime(9, 5, 3));
    EXPECT_EQ(window::savedLogFileName(local.toTimeZone(QTimeZone(3600 * 5 + 1800))), u"20010102090503.txt"_s);
}

TEST_F(SavedLogInCurrentDir, WritesTheLogAndCrLfInUtf8) {
    const struct {
        QString log;
        QByteArray bytes;
    } cases[] = {
        {u""_s, QByteArrayLiteral("\r\n")},
        {u"Alice> こんにちは\r\nBob> (・ω・)\r\n"_s,
         QByteArrayLiteral("Alice> \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\r\n"
                           "Bob> (\xE3\x83\xBB\xCF\x89\xE3\x83\xBB)\r\n\r\n")},
        // Characters code page 932 cannot hold survive too.
        {u"Ann> 😀 ñ\r\n"_s, QByteArrayLiteral("Ann> \xF0\x9F\x98\x80 \xC3\xB1\r\n\r\n")},
    };
    for (const auto& c : cases) {
        const auto saved = window::SaveLogFile(u"20011231235959.txt"_s, c.log);
        ASSERT_TRUE(saved.ok()) << saved.error().reason.toStdString();
        EXPECT_EQ(testsupport::readAll(path(u"20011231235959.txt"_s)), c.bytes);
    }
}

TEST_F(SavedLogInCurrentDir, ReplacesAnExistingFile) {
    testsupport::writeAll(path(u"x.txt"_s), QByteArray(5000, 'o'));
    ASSERT_TRUE(window::SaveLogFile(u"x.txt"_s, u"new"_s).ok());
    EXPECT_EQ(testsupport::readAll(path(u"x.txt"_s)), QByteArrayLiteral("new\r\n"));
}

TEST_F(SavedLogInCurrentDir, FailureNamesTheFileAndTheReason) {
    ASSERT_TRUE(QDir().mkdir(u"taken.txt"_s));
    const struct {
        const char* what;
        QString name;
    } cases[] = {
        {"a folder in the way", u"taken.txt"_s},
        {"a missing folder", u"missing/20011231235959.txt"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto saved = window::SaveLogFile(c.name, u"log\r\n"_s);
        ASSERT_FALSE(saved.ok());
        EXPECT_EQ(saved.error().fileName, path(c.name));
        EXPECT_FALSE(saved.error().reason.isEmpty());
    }
    EXPECT_TRUE(QFileInfo(path(u"taken.txt"_s)).isDir());
}

} // namespace
