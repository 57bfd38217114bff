#pragma once

#include <QString>

namespace chat {

// Every text the chat core writes into the log or hands to the window, verbatim.
namespace texts {

inline QString joined(const QString& name) {
    return name + QStringLiteral(" さんが参加しました");
}
inline QString left(const QString& name) {
    return name + QStringLiteral(" さんが退出しました");
}
inline QString clearedLog(const QString& name) {
    return name + QStringLiteral(" さんはログを消去しました");
}

// Above the lines a newcomer is given of what was said before it came.
inline QString historySeparator() {
    return QStringLiteral("―――― 参加する前の発言 ――――");
}

// Where records of the room were lost to this copy (the room dropped them before this
// copy could read them, as it keeps only so many or for so long): how many.
inline QString recordsMissed(int count) {
    return QStringLiteral("（ここで ") + QString::number(count) +
           QStringLiteral(" 件の発言や通知を受け取れませんでした）");
}

inline QString messageTagAtRest() {
    return QStringLiteral("メッセージ");
}
inline QString messageTagScriptsAllowed() {
    return QStringLiteral("メッセージ　（拡張スクリプト設定：許可）");
}
inline QString messageTagScriptsRefused() {
    return QStringLiteral("メッセージ　（拡張スクリプト設定：不可）");
}

// The read error is followed by the error number, a space and the description.
inline QString readFailedPrefix() {
    return QStringLiteral("メッセージの読み込みに失敗しました ");
}
inline QString sendFailed() {
    return QStringLiteral("メッセージの送信に失敗しました");
}
// Once, in the log and in a box, when the room is gone for this copy.
inline QString roomEnded() {
    return QStringLiteral("ルームが終了しました。ホストがいなくなり、ルームを引き継げるメンバーもいません。"
                          "入力したメッセージは送信されずに入力欄に残ります。");
}
inline QString rosterUpdateFailed() {
    return QStringLiteral("プレーヤーリストのアップデートに失敗しました");
}

// Desktop notifications: the summary names the room, the body shows a line as the
// log does (a private one in brackets).
inline QString noticeSummary(const QString& room, bool isPrivate) {
    return isPrivate ? room + QStringLiteral(" (プライベート)") : room;
}
inline QString noticeSummaryGathered(const QString& room, int count) {
    return room + QStringLiteral(" に新しい発言が ") + QString::number(count) + QStringLiteral(" 件");
}
inline QString noticePrivateCount(int count) {
    return QStringLiteral("プライベート ") + QString::number(count) + QStringLiteral(" 件を含みます");
}
// Where the log went, told on quitting.
inline QString logSavedTo(const QString& fileName) {
    return QStringLiteral("ログを保存しました: ") + fileName;
}

} // namespace texts
} // namespace chat
