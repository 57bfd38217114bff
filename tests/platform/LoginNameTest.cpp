#include "platform/LoginName.h"

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

TEST(LoginName, IsTheEffectiveUsersNameWhateverTheEnvironmentSays) {
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    const QString expected = QString::fromUtf8(entry->pw_name);

    const char* const variables[] = {"USER", "LOGNAME"};
    std::optional<QByteArray> saved[2];
    for (int i = 0; i < 2; ++i) {
        if (qEnvironmentVariableIsSet(variables[i]))
            saved[i] = qgetenv(variables[i]);
        qputenv(variables[i], "someone-else");
    }
    const std::optional<QString> name = platform::loginName();
    for (int i = 0; i < 2; ++i)
        if (saved[i])
            qputenv(variables[i], *saved[i]);
        else
            qunsetenv(variables[i]);

    EXPECT_EQ(name, std::optional<QString>(expected));
}

TEST(LoginName, LongOrEmptyNamesCountAsUnreadable) {
    struct Case {
        QByteArray stored;
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {QByteArray(), std::nullopt},        {QByteArrayLiteral("taro"), u"taro"_s},
        {u"山田"_s.toUtf8(), u"山田"_s},     {QByteArray(98, 'a'), QString(98, u'a')},
        {QByteArray(99, 'a'), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::loginNameFromBytes(c.stored), c.expected) << c.stored.size();
}

} // namespace
