#include "platform/ProfileFile.h"

#include "platform/Logging.h"
#include "platform/TextCodec.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace platform {

namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

struct Line {
    QByteArray content; // without the line end
    QByteArray end;     // "\r\n", "\n" or empty for a last line without one
};

// A line ends at LF, CR LF or a lone CR, as the classic profile calls read them: a CR
// followed by CR LF thus ends its line and leaves an empty one, and never stays in a
// value.
std::vector<Line> splitLines(const QByteArray& bytes) {
    std::vector<Line> lines;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = start;
        while (end < bytes.size() && bytes.at(end) != '\n' && bytes.at(end) != '\r')
            ++end;
        if (end == bytes.size()) {
            lines.push_back({bytes.mid(start), {}});
            break;
        }
        const qsizetype endLength =
            bytes.at(end) == '\r' && end + 1 < bytes.size() && bytes.at(end + 1) == '\n' ? 2 : 1;
        lines.push_back({bytes.mid(start, end - start), bytes.mid(end, endLength)});
        start = end + endLength;
    }
    return lines;
}

QByteArray joinLines(const std::vector<Line>& lines) {
    QByteArray bytes;
    for (const Line& line : lines)
        bytes += line.content + line.end;
    return bytes;
}

// The line end of the first line that has one; CR LF for a file without any.
QByteArray lineEndStyle(const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (!line.end.isEmpty())
            return line.end;
    }
    return QByteArrayLiteral("\r\n");
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArrayView trimBlanks(QByteArrayView bytes) {
    qsizetype begin = 0;
    qsizetype end = bytes.size();
    while (begin < end && isBlank(bytes.at(begin)))
        ++begin;
    while (end > begin && isBlank(bytes.at(end - 1)))
        --end;
    return bytes.sliced(begin, end - begin);
}

QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text.at(begin) == u' ' || text.at(begin) == u'\t'))
        ++begin;
    while (end > begin && (text.at(end - 1) == u' ' || text.at(end - 1) == u'\t'))
        --end;
    return text.sliced(begin, end - begin);
}

// A value wrapped in one pair of double quotes is read without them; the blanks inside
// stay, which is what quoting a value is for.
QByteArrayView withoutQuotes(QByteArrayView value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.sliced(1, value.size() - 2);
    return value;
}

// What a read gives for an absent key: the default without its trailing blanks.
QString absentValue(const QString& defaultValue) {
    qsizetype end = defaultValue.size();
    while (end > 0 && (defaultValue.at(end - 1) == u' ' || defaultValue.at(end - 1) == u'\t'))
        --end;
    return defaultValue.first(end);
}

QString decode(QByteArrayView bytes, FileEncoding encoding) {
    if (encoding != FileEncoding::Utf8) {
        return decodeCp932(bytes);
    }
    // Only the file's own first bytes can be its byte-order mark (taken off before);
    // one at the start of a value or name is a character of it, and taking it off
    // there would bring the blank behind it to the front of a trimmed value.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return utf8(bytes);
}

// Names match without regard to ASCII letter case only, as the classic profile calls
// compare them; other letters must match exactly.
bool sameName(const QString& a, const QString& b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a.at(i).unicode();
        char16_t y = b.at(i).unicode();
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x + (u'a' - u'A'));
        if (y >= u'A' && y <= u'Z')
            y = static_cast<char16_t>(y + (u'a' - u'A'));
        if (x != y)
            return false;
    }
    return true;
}

QString withoutControlCharacters(const QString& text) {
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F)
            clean.append(c);
    }
    return clean;
}

QString cleanName(const QString& name) {
    return trimBlanks(withoutControlCharacters(name));
}

// A parsed view of one line. The byte text is split before decoding only at '=',
// which is never the trail byte of a two-byte code-page character; section brackets
// can be, so section lines are decoded first.
struct LineView {
    std::optional<QString> section; // set on a "[Name]" line
    std::optional<QString> key;     // set on a "Key=Value" line
    qsizetype valueStart = 0;       // byte offset just past the '=' of a key line
};

LineView parseLine(QByteArrayView content, FileEncoding encoding) {
    LineView view;
    const QByteArrayView trimmed = trimBlanks(content);
    if (trimmed.startsWith('[')) {
        QString name = decode(trimmed.sliced(1), encoding);
        const qsizetype close = name.indexOf(u']');
        if (close >= 0)
            name.truncate(close);
        view.section = trimBlanks(name);
        return view;
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return view;
    view.key = decode(trimBlanks(content.first(equals)), encoding);
    view.valueStart = equals + 1;
    return view;
}

LineView parseLine(const std::vector<Line>& lines, size_t index, FileEncoding encoding) {
    QByteArrayView content = lines[index].content;
    if (index == 0 && encoding == FileEncoding::Utf8 && content.startsWith(kUtf8Bom))
        content = content.sliced(3);
    return parseLine(content, encoding);
}

bool isCommentOrBlank(QByteArrayView content) {
    const QByteArrayView trimmed = trimBlanks(content);
    return trimmed.isEmpty() || trimmed.startsWith(';') || trimmed.startsWith('#');
}

struct SectionRange {
    size_t header = 0; // index of the "[Name]" line
    size_t end = 0;    // index of the next section's header, or the line count
};

std::optional<SectionRange> findSection(const std::vector<Line>& lines, const QString& section, FileEncoding encoding) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const LineView view = parseLine(lines, i, encoding);
        if (!view.section || !sameName(*view.section, section))
            continue;
        SectionRange range{i, lines.size()};
        for (size_t j = i + 1; j < lines.size(); ++j) {
            if (parseLine(lines, j, encoding).section) {
                range.end = j;
                break;
            }
        }
        return range;
    }
    return std::nullopt;
}

std::optional<size_t> findKey(const std::vector<Line>& lines, const SectionRange& range, const QString& key,
                              FileEncoding encoding) {
    for (size_t i = range.header + 1; i < range.end; ++i) {
        const LineView view = parseLine(lines, i, encoding);
        if (view.key && sameName(*view.key, key))
            return i;
    }
    return std::nullopt;
}

QByteArray encode(const QString& text, FileEncoding encoding, bool& representable) {
    if (encoding == FileEncoding::Utf8)
        return text.toUtf8();
    std::optional<QByteArray> bytes = encodeCp932(text);
    if (!bytes) {
        representable = false;
        return {};
    }
    return *bytes;
}

} // namespace

QString ProfileFile::read(const QString& section, const QString& key, const QString& defaultValue) const {
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return absentValue(defaultValue);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return absentValue(defaultValue);
    return readFromBytes(bytes, section, key, defaultValue);
}

QString ProfileFile::readFromBytes(const QByteArray& bytes, const QString& section, const QString& key,
                                   const QString& defaultValue) {
    const FileEncoding encoding = detectFileEncoding(bytes);
    const std::vector<Line> lines = splitLines(bytes);
    const std::optional<SectionRange> range = findSection(lines, cleanName(section), encoding);
    if (!range)
        return absentValue(defaultValue);
    const std::optional<size_t> index = findKey(lines, *range, cleanName(key), encoding);
    if (!index)
        return absentValue(defaultValue);

    const QByteArrayView content = lines[*index].content;
    const qsizetype valueStart = parseLine(lines, *index, encoding).valueStart;
    // The cut counts the stored bytes, as the classic fixed-size read buffer did, but
    // stops before a character that would not fit whole.
    const QByteArray value = cutToWholeCharacters(withoutQuotes(trimBlanks(content.sliced(valueStart))),
                                                  ProfileFile::kMaxValueBytes, encoding);
    return decode(value, encoding);
}

Status ProfileFile::write(const QString& section, const QString& key, const QString& value) {
    const QString sectionName = cleanName(section);
    const QString keyName = cleanName(key);
    const QString cleanValue = withoutControlCharacters(value);
    if (sectionName.isEmpty() || keyName.isEmpty())
        return fail(u"設定ファイルに書き込めません: セクション名またはキー名が空です"_s);

    QByteArray bytes;
    if (QFileInfo::exists(m_path)) {
        // Never replace a file whose content could not be read: its other lines would be lost.
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(u"設定ファイル %1 を読み込めません: %2"_s.arg(m_path, file.errorString()));
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return fail(u"設定ファイル %1 を読み込めません: %2"_s.arg(m_path, file.errorString()));
    }

    FileEncoding encoding = detectFileEncoding(bytes);
    std::vector<Line> lines = splitLines(bytes);
    const QByteArray lineEnd = lineEndStyle(lines);

    bool representable = true;
    QByteArray sectionBytes = encode(sectionName, encoding, representable);
    QByteArray keyBytes = encode(keyName, encoding, representable);
    QByteArray valueBytes = encode(cleanValue, encoding, representable);
    if (!representable) {
        // The file is held in code page 932 and the new text has a character that the
        // code page lacks. Mixing UTF-8 into it would make the whole file unreadable as
        // either encoding, so the file moves to UTF-8 as a whole: every line is decoded
        // and re-encoded, line ends kept. Only bytes that were no character before
        // (already read as U+FFFD) change meaning.
        qCDebug(lcPlatform) << "converting" << m_path << "from code page 932 to UTF-8";
        for (Line& line : lines)
            line.content = decodeCp932(line.content).toUtf8();
        encoding = FileEncoding::Utf8;
        sectionBytes = sectionName.toUtf8();
        keyBytes = keyName.toUtf8();
        valueBytes = cleanValue.toUtf8();
    }

    const auto ensureLastLineEnded = [&] {
        if (!lines.empty() && lines.back().end.isEmpty())
            lines.back().end = lineEnd;
    };
    const QByteArray keyLine = keyBytes + '=' + valueBytes;

    if (const std::optional<SectionRange> range = findSection(lines, sectionName, encoding)) {
        if (const std::optional<size_t> index = findKey(lines, *range, keyName, encoding)) {
            // Keep the key as it is spelled in the file, and the blanks after '='.
            Line& line = lines[*index];
            qsizetype valueStart = parseLine(lines, *index, encoding).valueStart;
            while (valueStart < line.content.size() && isBlank(line.content.at(valueStart)))
                ++valueStart;
            line.content = line.content.first(valueStart) + valueBytes;
        } else {
            // After the section's last entry, so that blank lines and comments that lead
            // into the next section stay in front of it.
            size_t insertAt = range->header + 1;
            for (size_t i = range->header + 1; i < range->end; ++i) {
                if (!isCommentOrBlank(lines[i].content))
                    insertAt = i + 1;
            }
            if (insertAt == lines.size())
                ensureLastLineEnded();
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), Line{keyLine, lineEnd});
        }
    } else {
        ensureLastLineEnded();
        lines.push_back({'[' + sectionBytes + ']', lineEnd});
        lines.push_back({keyLine, lineEnd});
    }

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(u"設定ファイル %1 に書き込めません: %2"_s.arg(m_path, file.errorString()));
    const QByteArray out = joinLines(lines);
    if (file.write(out) != out.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(u"設定ファイル %1 に書き込めません: %2"_s.arg(m_path, reason));
    }
    if (!file.commit())
        return fail(u"設定ファイル %1 に書き込めません: %2"_s.arg(m_path, file.errorString()));
    return {};
}

} // namespace platform
