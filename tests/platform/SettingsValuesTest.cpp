#include "platform/SettingsValues.h"

#include <gtest/gtest.h>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

TEST(SettingsValues, IntegersRoundHalvesToEven) {
    struct Case {
        QString text;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {u"0"_s, 0},
        {u" 2 "_s, 2},
        {u"\t-3\t"_s, -3},
        {u"+4"_s, 4},
        {u"1.5"_s, 2},
        {u"2.5"_s, 2},
        {u"3.5"_s, 4},
        {u"-2.5"_s, -2},
        {u"2.50001"_s, 3},
        {u"0.5"_s, 0},
        {u".6"_s, 1},
        {u"2147483647"_s, 2147483647},
        {u"-2147483648"_s, -2147483647 - 1},
        {u"2147483648"_s, std::nullopt},
        {u"2147483646.5"_s, 2147483646},
        {u"2147483647.5"_s, std::nullopt},
        {QString(), std::nullopt},
        {u"abc"_s, std::nullopt},
        {u"1e3"_s, std::nullopt},
        {u"&H10"_s, std::nullopt},
        {u"1,5"_s, std::nullopt},
        {u"- 1"_s, std::nullopt},
        {u"１"_s, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::toInteger(c.text), c.expected) << c.text.toStdString();
}

TEST(SettingsValues, CheckStatesGreetAndFontSize) {
    struct Case {
        QString text;
        std::optional<int> checkState;
        int showGreet;
        std::optional<int> fontSize;
    };
    const Case cases[] = {
        {u"0"_s, 0, 0, 0},
        {u"2"_s, 2, 2, 2},
        {u"1.2"_s, 1, 1, 1},
        {u"3"_s, std::nullopt, 0, 3},
        {u"-1"_s, std::nullopt, 0, std::nullopt},
        {u"abc"_s, std::nullopt, 0, std::nullopt},
        {u"10.5"_s, std::nullopt, 0, 10},
        {u"11.5"_s, std::nullopt, 0, 12},
        {u"255.4"_s, std::nullopt, 0, 255},
        {u"255.5"_s, std::nullopt, 0, std::nullopt},
        {u"256"_s, std::nullopt, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::toCheckState(c.text), c.checkState) << c.text.toStdString();
        EXPECT_EQ(platform::toShowGreet(c.text), c.showGreet) << c.text.toStdString();
        EXPECT_EQ(platform::toFontSize(c.text), c.fontSize) << c.text.toStdString();
    }
}

TEST(SettingsValues, StoredStatesMapToQtStatesAndBack) {
    struct Case {
        int stored;
        Qt::CheckState qt;
    };
    const Case cases[] = {{0, Qt::Unchecked}, {1, Qt::Checked}, {2, Qt::PartiallyChecked}};
    for (const Case& c : cases) {
        EXPECT_EQ(platform::checkStateFromStored(c.stored), c.qt) << c.stored;
        EXPECT_EQ(platform::storedFromCheckState(c.qt), c.stored) << c.stored;
    }
    EXPECT_EQ(platform::checkStateFromStored(7), Qt::Unchecked);
    // A greyed box read from the file is written back as it was.
    EXPECT_EQ(platform::storedFromCheckState(platform::checkStateFromStored(*platform::toCheckState(u"2"_s))), 2);
}

TEST(SettingsValues, ColoursAreBgrOrSystemColours) {
    QPalette palette;
    palette.setColor(QPalette::Active, QPalette::Base, QColor(1, 2, 3));
    palette.setColor(QPalette::Active, QPalette::ToolTipBase, QColor(13, 14, 15));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(16, 17, 18));

    struct Case {
        QString text;
        std::optional<QColor> expected;
    };
    const Case cases[] = {
        {u"000000FF"_s, QColor(255, 0, 0)},
        {u"ff"_s, QColor(255, 0, 0)},
        {u"00123456"_s, QColor(0x56, 0x34, 0x12)},
        {u"80000005"_s, QColor(1, 2, 3)},    // window background
        {u"80000011"_s, QColor(16, 17, 18)}, // grey text
        {u"80000018"_s, QColor(13, 14, 15)}, // tool-tip background
        {u"80000019"_s, std::nullopt},
        {u"8000FFFF"_s, std::nullopt},
        {u"&H000000FF"_s, std::nullopt},
        {QString(), std::nullopt},
        {u"123456789"_s, std::nullopt},
        {u"01000000"_s, std::nullopt},
        {u"0G"_s, std::nullopt},
        {u" FF"_s, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::toColour(c.text, palette), c.expected) << c.text.toStdString();
}

} // namespace
