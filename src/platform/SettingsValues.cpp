#include "platform/SettingsValues.h"

#include <array>
#include <limits>

namespace platform {

namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

struct SystemColour {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// System colour numbers 0 to 24 and the palette entries closest to them.
constexpr std::array<SystemColour, 25> kSystemColours{{
    {QPalette::Active, QPalette::Button},            // 0 scroll bar
    {QPalette::Active, QPalette::Window},            // 1 desktop
    {QPalette::Active, QPalette::Highlight},         // 2 active caption
    {QPalette::Inactive, QPalette::Highlight},       // 3 inactive caption
    {QPalette::Active, QPalette::Window},            // 4 menu
    {QPalette::Active, QPalette::Base},              // 5 window background
    {QPalette::Active, QPalette::Shadow},            // 6 window frame
    {QPalette::Active, QPalette::WindowText},        // 7 menu text
    {QPalette::Active, QPalette::Text},              // 8 window text
    {QPalette::Active, QPalette::HighlightedText},   // 9 caption text
    {QPalette::Active, QPalette::Button},            // 10 active border
    {QPalette::Inactive, QPalette::Button},          // 11 inactive border
    {QPalette::Active, QPalette::Dark},              // 12 application workspace
    {QPalette::Active, QPalette::Highlight},         // 13 highlight
    {QPalette::Active, QPalette::HighlightedText},   // 14 highlighted text
    {QPalette::Active, QPalette::Button},            // 15 button face
    {QPalette::Active, QPalette::Dark},              // 16 button shadow
    {QPalette::Disabled, QPalette::Text},            // 17 grey text
    {QPalette::Active, QPalette::ButtonText},        // 18 button text
    {QPalette::Inactive, QPalette::HighlightedText}, // 19 inactive caption text
    {QPalette::Active, QPalette::Light},             // 20 button highlight
    {QPalette::Active, QPalette::Shadow},            // 21 dark 3-D shadow
    {QPalette::Active, QPalette::Midlight},          // 22 light 3-D edge
    {QPalette::Active, QPalette::ToolTipText},       // 23 tool-tip text
    {QPalette::Active, QPalette::ToolTipBase},       // 24 tool-tip background
}};

} // namespace

std::optional<int> toInteger(const QString& text) {
    qsizetype i = 0;
    qsizetype end = text.size();
    while (i < end && (text.at(i) == u' ' || text.at(i) == u'\t'))
        ++i;
    while (end > i && (text.at(end - 1) == u' ' || text.at(end - 1) == u'\t'))
        --end;

    bool negative = false;
    if (i < end && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }

    // Whole part, kept below 2^33 so that it cannot overflow; anything that large is
    // out of range anyway.
    constexpr qint64 kCap = qint64(1) << 33;
    qint64 magnitude = 0;
    int digits = 0;
    for (; i < end && isDigit(text.at(i)); ++i, ++digits)
        magnitude = std::min(kCap, magnitude * 10 + (text.at(i).unicode() - u'0'));

    int fractionDigits = 0;
    int firstFractionDigit = 0;
    bool restNonZero = false;
    if (i < end && text.at(i) == u'.') {
        for (++i; i < end && isDigit(text.at(i)); ++i, ++fractionDigits) {
            const int digit = text.at(i).unicode() - u'0';
            if (fractionDigits == 0)
                firstFractionDigit = digit;
            else if (digit != 0)
                restNonZero = true;
        }
    }
    if (i != end || digits + fractionDigits == 0)
        return std::nullopt;

    const bool roundUp = firstFractionDigit > 5 || (firstFractionDigit == 5 && (restNonZero || magnitude % 2 == 1));
    if (roundUp)
        ++magnitude;
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> toCheckState(const QString& text) {
    const std::optional<int> value = toInteger(text);
    if (!value || *value < 0 || *value > 2)
        return std::nullopt;
    return value;
}

int toShowGreet(const QString& text) {
    return toCheckState(text).value_or(0);
}

std::optional<QColor> toColour(const QString& text, const QPalette& palette) {
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    quint32 value = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        quint32 digit = 0;
        if (u >= u'0' && u <= u'9')
            digit = u - u'0';
        else if (u >= u'a' && u <= u'f')
            digit = u - u'a' + 10;
        else if (u >= u'A' && u <= u'F')
            digit = u - u'A' + 10;
        else
            return std::nullopt;
        value = (value << 4) | digit;
    }

    if (value & 0x80000000u) {
        const quint32 index = value - 0x80000000u;
        if (index >= kSystemColours.size())
            return std::nullopt;
        const SystemColour& entry = kSystemColours[index];
        return palette.color(entry.group, entry.role);
    }
    if (value & 0xFF000000u)
        return std::nullopt;
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

std::optional<int> toFontSize(const QString& text) {
    const std::optional<int> value = toInteger(text);
    if (!value || *value < 0 || *value > 255)
        return std::nullopt;
    return value;
}

Qt::CheckState checkStateFromStored(int stored) {
    switch (stored) {
    case 1:
        return Qt::Checked;
    case 2:
        return Qt::PartiallyChecked;
    default:
        return Qt::Unchecked;
    }
}

int storedFromCheckState(Qt::CheckState state) {
    switch (state) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

} // namespace platform
