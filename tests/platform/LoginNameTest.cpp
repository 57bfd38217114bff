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
    const char* const variables[] = {"USER", "LOGNAME"};
    std::optional<QByteArray> saved[2];
    for (int i = 0; i < 2; ++i) {
        if (qEnvironmentVariableIsSet(variables[i]))
            saved[i] = qgetenv(variables[i]);
        qputenv(variables[i], "someone-else");
    }
    const std::optional<QString> name = platform::loginName();
    for (int i = 0; i < 2; ++i)
        saved[i] ? qputenv(variables[i], *saved[i]) : qunsetenv(variables[i]);
    EXPECT_EQ(name, std::optional<QString>(QString::fromUtf8(entry->pw_name)));
}

TEST(LoginName, LongOrEmptyNamesCountAsUnreadable) {
    const std::pair<QByteArray, std::optional<QString>> cases[] = {
        {QByteArray(), std::nullopt},        {QByteArrayLiteral("taro"), u"taro"_s},
        {u"山田"_s.toUtf8(), u"山田"_s},     {QByteArray(98, 'a'), QString(98, u'a')},
        {QByteArray(99, 'a'), std::nullopt},
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(platform::loginNameFromBytes(stored), expected) << stored.size();
}

} // namespace
