#include "window/CompositionAids.h"

#include "chat/ScriptInterpreter.h"

using namespace Qt::StringLiterals;

namespace window {

namespace {

// The entry without a leading sound command: everything up to and including the
// first ";" goes. A command without ";" is left alone, so nothing typed is lost.
QString withoutSoundCommand(const QString& entry) {
    if (!beginsWithSoundCommand(entry))
        return entry;
    const qsizetype end = entry.indexOf(u';');
    return end < 0 ? entry : entry.sliced(end + 1);
}

int lengthOf(const QString& text) {
    return static_cast<int>(text.size());
}

} // namespace

bool beginsWithSoundCommand(QStringView entry) {
    // The same letter-case rule as the receiving side uses for commands.
    return chat::ScriptInterpreter::startsWithCommand(entry, u"@s");
}

EntryEdit cmdInsMark_Click(const QString& entry, const QString& faceMark) {
    return {entry + faceMark, 0};
}

EntryEdit cmdInsSnd_Click(const QString& entry, int soundPosition) {
    return {u"@S"_s + QString::number(soundPosition) + u";"_s + withoutSoundCommand(entry), 0};
}

EntryEdit insertEmptySoundCommand(const QString& entry) {
    return {u"@S;"_s + withoutSoundCommand(entry), 2};
}

EntryEdit appendFaceMark(const QString& entry, const QString& faceMark) {
    QString text = entry + faceMark;
    const int caret = lengthOf(text);
    return {std::move(text), caret};
}

EntryEdit insertClearCommand(const QString& entry) {
    QString text = chat::ScriptInterpreter::startsWithCommand(entry, u"@clear;") ? entry : u"@clear;"_s + entry;
    const int caret = lengthOf(text);
    return {std::move(text), caret};
}

int keyCodeFromQt(int qtKey) {
    if ((qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) || (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9))
        return qtKey;
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return 112 + (qtKey - Qt::Key_F1);
    return 0;
}

int shiftStateFromQt(Qt::KeyboardModifiers modifiers) {
    int shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= kShiftMask;
    if (modifiers & Qt::ControlModifier)
        shift |= kCtrlMask;
    if (modifiers & Qt::AltModifier)
        shift |= kAltMask;
    return shift;
}

bool isShortcutPress(int keyCode, int shift) {
    if (!(shift & kAltMask))
        return false;
    switch (keyCode) {
    case kKeyH:
    case kKeyQ:
    case kKeyW:
    case kKeyE:
    case kKeyR:
    case 'A':
    case 'X':
    case 'F':
    case 'S':
        return true;
    default:
        return false;
    }
}

std::optional<int> tabOf(KeyAction action) {
    switch (action) {
    case KeyAction::ShowTab0:
        return 0;
    case KeyAction::ShowTab1:
        return 1;
    case KeyAction::ShowTab2:
        return 2;
    case KeyAction::ShowTab3:
        return 3;
    default:
        return std::nullopt;
    }
}

KeyAction Form_KeyUp(int keyCode, int shift, bool autoRepeat) {
    if (autoRepeat)
        return KeyAction::None;
    if (shift & kAltMask) {
        switch (keyCode) {
        case kKeyH:
            return KeyAction::ToggleMenus;
        case kKeyQ:
            return KeyAction::ShowTab0;
        case kKeyW:
            return KeyAction::ShowTab1;
        case kKeyE:
            return KeyAction::ShowTab2;
        case kKeyR:
            return KeyAction::ShowTab3;
        default:
            break;
        }
    }
    switch (keyCode) {
    case kKeyF6:
        return KeyAction::SoundCommand;
    case kKeyF7:
        return KeyAction::FaceMark;
    case kKeyF8:
        return KeyAction::ClearCommand;
    default:
        return KeyAction::None;
    }
}

QString helpText(HelpLabel label) {
    switch (label) {
    case HelpLabel::lblHelp1:
        return u"一覧から選択したユーザーにのみメッセージを送ります。相手には(　)付きで表示されます。"_s;
    case HelpLabel::lblHelp2:
        return u"送信メッセージの先頭にサウンドを再生させるための文字列を挿入します。"_s;
    case HelpLabel::lblHelp3:
        return u"送信メッセージの最後に顔文字（フェースマーク）を挿入します。（＾＾；"_s;
    case HelpLabel::lblHelp5:
        return u"保存されるログのファイル名は「日時.txt」です。"_s
               u"メニューを隠して起動はメッセージ画面を大きくした状態で起動することです。"_s;
    }
    return QString();
}

QString toggledHelpCaption(HelpLabel label, const QString& caption) {
    return caption == kHelpCaption ? helpText(label) : kHelpCaption.toString();
}

} // namespace window
