#include "session/wire/NameRules.h"

#include <QChar>
#include <memory>
#include <unicode/uspoof.h>
#include <unicode/utypes.h>

namespace session {

namespace {

char32_t codePointAt(QStringView text, qsizetype& i) {
    char32_t code = text.at(i).unicode();
    if (QChar::isHighSurrogate(code) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        code = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
        ++i;
    }
    return code;
}

struct SpoofCheckerDeleter {
    void operator()(USpoofChecker* checker) const { uspoof_close(checker); }
};

// The checker only reads its tables once opened, so one serves every thread.
const USpoofChecker* spoofChecker() {
    static const std::unique_ptr<USpoofChecker, SpoofCheckerDeleter> checker = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<USpoofChecker, SpoofCheckerDeleter> opened(uspoof_open(&status));
        return U_SUCCESS(status) ? std::move(opened) : nullptr;
    }();
    return checker.get();
}

} // namespace

bool isUnsafeCharacter(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

bool hasUnsafeCharacter(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isUnsafeCharacter(codePointAt(text, i))) {
            return true;
        }
    }
    return false;
}

bool isAllowedHandleName(QStringView name) {
    if (name.isEmpty() || name.size() > kMaxNameChars || hasUnsafeCharacter(name)) {
        return false;
    }
    // Compatibility normalisation turns full-width letters and signs and the wide and
    // no-break spaces into their plain forms, so that every width is judged alike.
    const QString plain = name.toString().normalized(QString::NormalizationForm_KC);
    if (plain.front().isSpace() || plain.back().isSpace()) {
        return false;
    }
    for (qsizetype i = 1; i < plain.size(); ++i) {
        if (plain.at(i).isSpace() && (plain.at(i - 1).isSpace() || plain.at(i - 1) == u'>')) {
            return false;
        }
    }
    return true;
}

QString handleNameKey(QStringView name) {
    const QString plain = name.toString().normalized(QString::NormalizationForm_KC);
    QString skeleton = plain;
    if (const USpoofChecker* checker = spoofChecker()) {
        UErrorCode status = U_ZERO_ERROR;
        QString out(plain.size() * 2 + 8, Qt::Uninitialized);
        const auto* source = reinterpret_cast<const UChar*>(plain.utf16());
        auto* target = reinterpret_cast<UChar*>(out.data());
        int32_t length = uspoof_getSkeleton(checker, 0, source, static_cast<int32_t>(plain.size()), target,
                                            static_cast<int32_t>(out.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            status = U_ZERO_ERROR;
            out.resize(length);
            target = reinterpret_cast<UChar*>(out.data());
            length = uspoof_getSkeleton(checker, 0, source, static_cast<int32_t>(plain.size()), target,
                                        static_cast<int32_t>(out.size()), &status);
        }
        if (U_SUCCESS(status)) {
            out.resize(length);
            skeleton = std::move(out);
        }
    }
    // The skeleton is decomposed: marks stand on their own and go.
    QString key;
    key.reserve(skeleton.size());
    for (qsizetype i = 0; i < skeleton.size(); ++i) {
        const qsizetype start = i;
        if (QChar::category(codePointAt(skeleton, i)) != QChar::Mark_NonSpacing) {
            key.append(QStringView(skeleton).sliced(start, i - start + 1));
        }
    }
    return key;
}

} // namespace session
