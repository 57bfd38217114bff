#include "platform/SettingsValues.h"

#include <gtest/gtest.h>
#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

TEST(SettingsValues, IntegersRoundHalvesToEven) {
    const std::pair<QString, int> numbers[] = {{u"0"_s, 0},       {u" 2 "_s, 2}, {u"\t-3\t"_s, -3}, {u"+4"_s, 4},
                                               {u"1.5"_s, 2},     {u"2.5"_s, 2}, {u"3.5"_s, 4},     {u"-2.5"_s, -2},
                                               {u"2.50001"_s, 3}, {u"0.5"_s, 0}, {u".6"_s, 1}};
    for (const auto& [text, expected] : numbers)
        EXPECT_EQ(platform::toInteger(text), expected) << text.toStdString();
    EXPECT_EQ(platform::toInteger(u"2147483646.5"_s), 2147483646);
    EXPECT_EQ(platform::toInteger(u"2147483647"_s), 2147483647);
    EXPECT_EQ(platform::toInteger(u"-2147483648"_s), -2147483647 - 1);
    for (const QString& text :
         {u"2147483648"_s, u"2147483647.5"_s, QString(), u"abc"_s, u"1e3"_s, u"&H10"_s, u"1,5"_s, u"- 1"_s, u"１"_s})
        EXPECT_EQ(platform::toInteger(text), std::nullopt) << text.toStdString();
}

// A stored check state counts 1 as ticked and 2 as greyed (the wizard and the chat
// window show and store it through their boxes).
TEST(SettingsValues, CheckStatesGreetAndFontSize) {
    const struct {
        QString text;
        std::optional<int> checkState;
        int showGreet;
        std::optional<int> fontSize;
    } cases[] = {
        {u"0"_s, 0, 0, 0},
        {u"1.2"_s, 1, 1, 1},
        {u"3"_s, std::nullopt, 0, 3},
        {u"-1"_s, std::nullopt, 0, std::nullopt},
        {u"abc"_s, std::nullopt, 0, std::nullopt},
        {u"255.4"_s, std::nullopt, 0, 255},
        {u"255.5"_s, std::nullopt, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(platform::toCheckState(c.text), c.checkState);
        EXPECT_EQ(platform::toShowGreet(c.text), c.showGreet);
        EXPECT_EQ(platform::toFontSize(c.text), c.fontSize);
    }
}

TEST(SettingsValues, ColoursAreBgrOrSystemColours) {
    QPalette palette;
    palette.setColor(QPalette::Active, QPalette::Base, QColor(1, 2, 3));
    palette.setColor(QPalette::Active, QPalette::ToolTipBase, QColor(13, 14, 15));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(16, 17, 18));
    // System colours 5, 0x11 and 0x18: window background, grey text, tool-tip background.
    const std::pair<QString, QColor> colours[] = {
        {u"000000FF"_s, QColor(255, 0, 0)},        {u"ff"_s, QColor(255, 0, 0)},
        {u"00123456"_s, QColor(0x56, 0x34, 0x12)}, {u"80000005"_s, QColor(1, 2, 3)},
        {u"80000011"_s, QColor(16, 17, 18)},       {u"80000018"_s, QColor(13, 14, 15)}};
    for (const auto& [text, expected] : colours)
        EXPECT_EQ(platform::toColour(text, palette), expected) << text.toStdString();
    for (const QString& text :
         {u"80000019"_s, u"8000FFFF"_s, u"&H000000FF"_s, QString(), u"123456789"_s, u"01000000"_s, u"0G"_s, u" FF"_s})
        EXPECT_EQ(platform::toColour(text, palette), std::nullopt) << text.toStdString();
}

} // namespace
