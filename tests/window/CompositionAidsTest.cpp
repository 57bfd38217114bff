#include "window/CompositionAids.h"

#include <functional>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace window;

namespace {

using Aid = std::function<EntryEdit(const QString&)>;

Aid markButton(const QString& mark) {
    return [mark](const QString& entry) { return cmdInsMark_Click(entry, mark); };
}
Aid f7(const QString& mark) {
    return [mark](const QString& entry) { return appendFaceMark(entry, mark); };
}
Aid soundButton(int sound) {
    return [sound](const QString& entry) { return cmdInsSnd_Click(entry, sound); };
}
const Aid f6 = insertEmptySoundCommand;
const Aid f8 = insertClearCommand;

TEST(CompositionAids, EditsTheEntry) {
    const struct {
        Aid aid;
        QString entry;
        QString text;
        int caret;
    } cases[] = {
        // An empty entry.
        {markButton(u"(^_^)"_s), u""_s, u"(^_^)"_s, 0},
        {f6, u""_s, u"@S;"_s, 2},
        {f8, u""_s, u"@clear;"_s, 7},
        {soundButton(3), u""_s, u"@S3;"_s, 0},
        // The face mark goes at the end, without separator; the button leaves the
        // caret at the start, F7 at the end.
        {markButton(u"(^_^;)"_s), u"hello"_s, u"hello(^_^;)"_s, 0},
        {f7(u"(・ω・)"_s), u"hello"_s, u"hello(・ω・)"_s, 10},
        {f7(u""_s), u"a"_s, u"a"_s, 1},
        // A sound command in front replaces the one already there.
        {soundButton(2), u"hello"_s, u"@S2;hello"_s, 0},
        {soundButton(0), u"@Sabc"_s, u"@S0;@Sabc"_s, 0},
        {soundButton(1), u"@sysclear;x"_s, u"@S1;x"_s, 0},
        {soundButton(12), u"@S1;@S2;x"_s, u"@S12;@S2;x"_s, 0},
        {f6, u"@Sabc"_s, u"@S;@Sabc"_s, 2},
        {f6, u"@s5;hi"_s, u"@S;hi"_s, 2},
        {f6, u"x@S1;y"_s, u"@S;x@S1;y"_s, 2},
        // "@clear;" in any letter case stays as it is.
        {f8, u"@CLEAR;bye"_s, u"@CLEAR;bye"_s, 10},
        {f8, u"@clear"_s, u"@clear;@clear"_s, 13},
        {f8, u"hi"_s, u"@clear;hi"_s, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry.toStdString());
        const EntryEdit edit = c.aid(c.entry);
        EXPECT_EQ(edit.text, c.text);
        EXPECT_EQ(edit.caret, c.caret);
    }
}

TEST(CompositionAids, KeyReleases) {
    const struct {
        int key;
        int shift;
        bool autoRepeat;
        KeyAction action;
    } cases[] = {
        {kKeyH, kAltMask | kShiftMask | kCtrlMask, false, KeyAction::ToggleMenus},
        {kKeyQ, kAltMask, false, KeyAction::ShowTab0},
        {kKeyR, kAltMask, false, KeyAction::ShowTab3},
        {kKeyQ, kCtrlMask, false, KeyAction::None},
        {65, kAltMask, false, KeyAction::None}, // Alt+A belongs to the Send button
        {kKeyF7, kShiftMask | kCtrlMask, false, KeyAction::FaceMark},
        {kKeyF8, 0, false, KeyAction::ClearCommand},
        {116, 0, false, KeyAction::None}, // F5
        {kKeyH, kAltMask, true, KeyAction::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Form_KeyUp(c.key, c.shift, c.autoRepeat), c.action) << c.key << " " << c.shift;

    // Keys that have no code in the table must not stand in for one that does.
    for (int qtKey : {Qt::Key_Escape, Qt::Key_Alt, Qt::Key_hyphen, Qt::Key_F25})
        EXPECT_EQ(keyCodeFromQt(qtKey), 0) << qtKey;
    EXPECT_EQ(keyCodeFromQt(Qt::Key_F24), 135);
    EXPECT_EQ(shiftStateFromQt(Qt::AltModifier | Qt::ShiftModifier | Qt::KeypadModifier), kAltMask | kShiftMask);
}

} // namespace
