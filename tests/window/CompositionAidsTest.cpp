#include "window/CompositionAids.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace window;

namespace {

// The edit a key or button makes, for the table below.
enum class Aid { FaceMarkButton, SoundButton, F6, F7, F8 };

TEST(CompositionAids, EditsTheEntry) {
    const struct {
        Aid aid;
        QString entry;
        int sound; // the chosen sound for the sound button
        QString faceMark;
        QString text;
        int caret;
    } cases[] = {
        // An empty entry.
        {Aid::FaceMarkButton, u""_s, 0, u"(^_^)"_s, u"(^_^)"_s, 0},
        {Aid::F6, u""_s, 0, {}, u"@S;"_s, 2},
        {Aid::F8, u""_s, 0, {}, u"@clear;"_s, 7},
        {Aid::SoundButton, u""_s, 3, {}, u"@S3;"_s, 0},
        // The face mark goes at the end, without separator; the button leaves the
        // caret at the start, F7 at the end.
        {Aid::FaceMarkButton, u"hello"_s, 0, u"(^_^;)"_s, u"hello(^_^;)"_s, 0},
        {Aid::F7, u"hello"_s, 0, u"(・ω・)"_s, u"hello(・ω・)"_s, 10},
        {Aid::F7, u"a"_s, 0, u""_s, u"a"_s, 1},
        // A sound command in front replaces the one already there.
        {Aid::SoundButton, u"hello"_s, 2, {}, u"@S2;hello"_s, 0},
        {Aid::SoundButton, u"@S2;hello"_s, 0, {}, u"@S0;hello"_s, 0},
        {Aid::SoundButton, u"@Sabc"_s, 0, {}, u"@S0;@Sabc"_s, 0},
        {Aid::SoundButton, u"@sysclear;x"_s, 1, {}, u"@S1;x"_s, 0},
        {Aid::SoundButton, u"@S1;@S2;x"_s, 12, {}, u"@S12;@S2;x"_s, 0},
        {Aid::F6, u"@Sabc"_s, 0, {}, u"@S;@Sabc"_s, 2},
        {Aid::F6, u"@s5;hi"_s, 0, {}, u"@S;hi"_s, 2},
        {Aid::F6, u"x@S1;y"_s, 0, {}, u"@S;x@S1;y"_s, 2},
        // "@clear;" in any letter case stays as it is.
        {Aid::F8, u"@CLEAR;bye"_s, 0, {}, u"@CLEAR;bye"_s, 10},
        {Aid::F8, u"@clear"_s, 0, {}, u"@clear;@clear"_s, 13},
        {Aid::F8, u"hi"_s, 0, {}, u"@clear;hi"_s, 9},
    };
    for (const auto& c : cases) {
        EntryEdit edit;
        switch (c.aid) {
        case Aid::FaceMarkButton:
            edit = cmdInsMark_Click(c.entry, c.faceMark);
            break;
        case Aid::SoundButton:
            edit = cmdInsSnd_Click(c.entry, c.sound);
            break;
        case Aid::F6:
            edit = insertEmptySoundCommand(c.entry);
            break;
        case Aid::F7:
            edit = appendFaceMark(c.entry, c.faceMark);
            break;
        case Aid::F8:
            edit = insertClearCommand(c.entry);
            break;
        }
        EXPECT_EQ(edit.text, c.text) << "entry " << c.entry.toStdString();
        EXPECT_EQ(edit.caret, c.caret) << "entry " << c.entry.toStdString();
    }
}

TEST(CompositionAids, KeyReleases) {
    const struct {
        int key;
        int shift;
        bool autoRepeat;
        KeyAction action;
    } cases[] = {
        {kKeyH, kAltMask, false, KeyAction::ToggleMenus},
        {kKeyH, kAltMask | kShiftMask | kCtrlMask, false, KeyAction::ToggleMenus},
        {kKeyQ, kAltMask, false, KeyAction::ShowTab0},
        {kKeyR, kAltMask, false, KeyAction::ShowTab3},
        {kKeyH, 0, false, KeyAction::None},
        {kKeyQ, kCtrlMask, false, KeyAction::None},
        {kKeyR, kShiftMask, false, KeyAction::None},
        {65, kAltMask, false, KeyAction::None}, // Alt+A belongs to the Send button
        {kKeyF6, 0, false, KeyAction::SoundCommand},
        {kKeyF7, kShiftMask | kCtrlMask, false, KeyAction::FaceMark},
        {kKeyF8, 0, false, KeyAction::ClearCommand},
        {116, 0, false, KeyAction::None}, // F5
        {kKeyF7, 0, true, KeyAction::None},
        {kKeyH, kAltMask, true, KeyAction::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Form_KeyUp(c.key, c.shift, c.autoRepeat), c.action) << c.key << " " << c.shift;

    EXPECT_EQ(tabOf(KeyAction::ShowTab0), 0);
    EXPECT_EQ(tabOf(KeyAction::ShowTab3), 3);
    EXPECT_FALSE(tabOf(KeyAction::FaceMark));
}

TEST(CompositionAids, QtKeysMapToTheTableCodes) {
    const struct {
        int qtKey;
        int code;
    } cases[] = {
        {Qt::Key_A, 65},    {Qt::Key_Z, 90},     {Qt::Key_0, 48},  {Qt::Key_F1, 112},
        {Qt::Key_F24, 135}, {Qt::Key_Escape, 0}, {Qt::Key_Alt, 0}, {Qt::Key_hyphen, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keyCodeFromQt(c.qtKey), c.code) << c.qtKey;

    EXPECT_EQ(shiftStateFromQt(Qt::NoModifier), 0);
    EXPECT_EQ(shiftStateFromQt(Qt::ControlModifier), 2);
    EXPECT_EQ(shiftStateFromQt(Qt::AltModifier | Qt::ShiftModifier | Qt::KeypadModifier), 5);
}

} // namespace
