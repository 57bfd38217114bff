#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace platform {

// The two encodings that text files of the program may be held in: UTF-8 (what we
// write) and code page 932 (what Japanese Windows installations wrote).
enum class FileEncoding { Utf8, Cp932 };

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut short.
bool isValidUtf8(QByteArrayView bytes);

// The encoding a file of these bytes is read in: UTF-8 when they are valid UTF-8,
// otherwise code page 932.
FileEncoding detectFileEncoding(QByteArrayView bytes);

// The text of a whole file: UTF-8 when the bytes are valid UTF-8 (a leading byte
// order mark is dropped), otherwise code page 932.
QString decodeFileText(const QByteArray& bytes);

// Code page 932 to text. Bytes that do not form a character become one U+FFFD each
// and decoding goes on with the next byte, so a damaged character never swallows
// the line end that follows it.
QString decodeCp932(QByteArrayView bytes);

// Text to code page 932, or nothing when some character has no exact code-page
// equivalent (a character that would come back as another one counts as missing).
std::optional<QByteArray> encodeCp932(const QString& text);

// The longest prefix of `bytes` of at most `maxBytes` bytes that ends on a character
// boundary of `encoding`. For UTF-8 the input should be valid UTF-8; for code page 932
// a lead byte always takes the byte after it as its trail.
QByteArray cutToWholeCharacters(QByteArrayView bytes, qsizetype maxBytes, FileEncoding encoding);

} // namespace platform
