#pragma once

#include "platform/Result.h"

#include <QByteArray>
#include <QString>

namespace platform {

// A settings file in the classic profile (INI) form: "[Section]" lines open sections,
// "Key=Value" lines hold values.
//
// Reading: lines end at LF, CR LF or a lone CR. Section and key names match without
// regard to ASCII letter case, the first matching section and key win, the value
// loses its surrounding blanks, then one pair of double quotes around it, and is cut
// to at most kMaxValueBytes bytes of the stored text (never in the middle of a
// character). A missing file, section or key gives `defaultValue` without its
// trailing blanks.
//
// Writing replaces the value of the matched key, or adds the key at the end of its
// section, or the section at the end of the file, or creates the file. Every other
// line stays byte for byte, including the file's line-end style (CR LF for a new
// file). Control characters are removed from the value so that it can never add a
// line. The file is replaced atomically.
//
// Text: a file whose bytes are valid UTF-8 is read as UTF-8 (a BOM is dropped),
// otherwise as code page 932, so files carried over from Windows keep working.
class ProfileFile {
public:
    static constexpr int kMaxValueBytes = 254;

    explicit ProfileFile(QString path) : m_path(std::move(path)) {}

    const QString& path() const { return m_path; }

    QString read(const QString& section, const QString& key, const QString& defaultValue) const;
    // What read() gives for a file holding exactly `fileBytes`.
    static QString readFromBytes(const QByteArray& fileBytes, const QString& section, const QString& key,
                                 const QString& defaultValue);
    Status write(const QString& section, const QString& key, const QString& value);

private:
    QString m_path;
};

// The text that callers pass as default for keys whose absence must be told apart
// from every real value.
inline constexpr char16_t kAbsentSentinel[] = u"$$$Nothing$$$";

} // namespace platform
