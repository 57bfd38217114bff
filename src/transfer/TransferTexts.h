#pragma once

#include <QLocale>
#include <QString>

namespace transfer {

// Every text the transfers write into the log, verbatim.
namespace texts {

// "850 KB", "12.3 MB", "1.5 GB": decimal units, as file managers show them.
inline QString size(qint64 bytes) {
    if (bytes < 1000)
        return QString::number(bytes) + QStringLiteral(" バイト");
    const char16_t* units[] = {u"KB", u"MB", u"GB", u"TB"};
    double value = static_cast<double>(bytes) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 3) {
        value /= 1000.0;
        ++unit;
    }
    const int decimals = (value < 100 && unit > 0) ? 1 : 0;
    return QString::number(value, 'f', decimals) + u' ' + QString::fromUtf16(units[unit]);
}

inline QString offeredToYou(const QString& sender, const QString& file, qint64 bytes, int number) {
    return sender + QStringLiteral(" さんがファイル「") + file + QStringLiteral("」（") + size(bytes) +
           QStringLiteral("）を送ろうとしています。［") + QString::number(number) + QStringLiteral("］");
}
inline QString offeredTooLarge(const QString& sender, const QString& file, qint64 bytes, qint64 largest) {
    return sender + QStringLiteral(" さんがファイル「") + file + QStringLiteral("」（") + size(bytes) +
           QStringLiteral("）を送ろうとしましたが、受け取れる大きさ（") + size(largest) +
           QStringLiteral("）を超えているため受け取りません。");
}
inline QString youOffered(const QString& receiver, const QString& file, qint64 bytes) {
    return receiver + QStringLiteral("にファイル「") + file + QStringLiteral("」（") + size(bytes) +
           QStringLiteral("）を送ろうとしています。");
}
inline QString roomName() {
    return QStringLiteral("ルームの全員");
}
inline QString memberName(const QString& name) {
    return name + QStringLiteral(" さん");
}
inline QString hashing(const QString& file) {
    return QStringLiteral("ファイル「") + file + QStringLiteral("」を準備しています…");
}
inline QString cannotRead(const QString& path, const QString& why) {
    return QStringLiteral("ファイル「") + path + QStringLiteral("」を読めません：") + why;
}
inline QString noFilesHere() {
    return QStringLiteral(
        "このルームではファイルを送れません（NATS クラスタ上のルームは、まだファイルを運べません）。");
}
inline QString waitingForSlot() {
    return QStringLiteral("ほかの転送が終わるのを待っています");
}
inline QString saved(const QString& file, const QString& path) {
    return QStringLiteral("ファイル「") + file + QStringLiteral("」を受け取りました：") + path;
}
inline QString receivedBy(const QString& receiver, const QString& file) {
    return receiver + QStringLiteral(" さんがファイル「") + file + QStringLiteral("」を受け取りました。");
}
inline QString declinedBy(const QString& receiver, const QString& file) {
    return receiver + QStringLiteral(" さんはファイル「") + file + QStringLiteral("」を受け取りませんでした。");
}
inline QString youDeclined(const QString& file) {
    return QStringLiteral("ファイル「") + file + QStringLiteral("」を受け取りませんでした。");
}
inline QString cancelled(const QString& file) {
    return QStringLiteral("ファイル「") + file + QStringLiteral("」の転送を取り消しました。");
}
inline QString cancelledBy(const QString& peer, const QString& file) {
    return peer + QStringLiteral(" さんがファイル「") + file + QStringLiteral("」の転送を取り消しました。");
}
inline QString failed(const QString& file, const QString& why) {
    return QStringLiteral("ファイル「") + file + QStringLiteral("」の転送に失敗しました：") + why;
}
inline QString whyCorrupt() {
    return QStringLiteral("届いたファイルが壊れていたため削除しました。");
}
inline QString whyLonger() {
    return QStringLiteral("送り手が知らせた大きさより多く届いたため中止しました。");
}
inline QString whyPeerError() {
    return QStringLiteral("相手の側でエラーが起きました。");
}
inline QString whyLimit() {
    return QStringLiteral("相手の制限により断られました。");
}
inline QString whySilent() {
    return QStringLiteral("相手から 30 秒以上応答がありません。");
}
inline QString whyLeft(const QString& peer) {
    return peer + QStringLiteral(" さんが退出しました。");
}
inline QString whyRoomEnded() {
    return QStringLiteral("ルームが終了しました。");
}
inline QString whyExists(const QString& path) {
    return QStringLiteral("「") + path + QStringLiteral("」はすでにあります。");
}
inline QString whyWrite(const QString& why) {
    return QStringLiteral("書き込めません（") + why + QStringLiteral("）。");
}
inline QString whyChanged() {
    return QStringLiteral("送信中にファイルの大きさが変わりました。");
}
inline QString whyUndelivered() {
    return QStringLiteral("申し出を届けられませんでした。");
}
inline QString offersDropped(const QString& sender) {
    return sender + QStringLiteral(" さんからの申し出が多すぎるため、古いものを取り下げました。");
}

} // namespace texts
} // namespace transfer
