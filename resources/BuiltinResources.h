#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

// The sounds and pictures built into the program. Linking mirelune_resources is all a
// program needs: the resource data is registered before main() runs, so the paths
// below can be opened with QFile, QImage or QPixmap at any time, and no
// Q_INIT_RESOURCE call is required. Nothing here needs widgets.
namespace resources {

// The three built-in sounds: RIFF WAV images of uncompressed PCM, mono, 22,050 Hz,
// 8-bit, of 1,184, 15,916 and 9,388 bytes.
enum class BuiltinSound {
    Message = 1, // played for every chat line shown
    Join = 2,    // a member joined
    Leave = 3,   // a member left
};

// The resource path of a built-in sound, or an empty text for a value outside the enum.
QString builtinSoundPath(BuiltinSound which);

// The whole WAV image of a built-in sound, ready to be played from memory; empty for a
// value outside the enum (never for one of the three).
QByteArray builtinSound(BuiltinSound which);

// The pictures of the chat window, as resource paths. The sizes are in pixels.
namespace pictures {
inline constexpr QLatin1StringView kHeader(":/pictures/header.png");         // 18 x 18, stretched across the top
inline constexpr QLatin1StringView kFooter(":/pictures/footer.png");         // 18 x 18, stretched along the bottom
inline constexpr QLatin1StringView kMenuBase(":/pictures/menubase.png");     // 20 x 283, the four tabs
inline constexpr QLatin1StringView kSelect(":/pictures/select.png");         // 20 x 18, the selected tab's edge
inline constexpr QLatin1StringView kHide(":/pictures/hide.png");             // 20 x 20, hides and shows the menus
inline constexpr QLatin1StringView kTerminator(":/pictures/terminator.png"); // 20 x 2, end of the tab strip
inline constexpr QLatin1StringView kSpacer(":/pictures/spacer.png");         // 20 x 3, stretched down the tab strip
inline constexpr QLatin1StringView kSend(":/pictures/send.png");             // 75 x 18, the Send button
inline constexpr QLatin1StringView kExit(":/pictures/exit.png");             // 75 x 18, the Exit button
inline constexpr QLatin1StringView kVersion(":/pictures/version.png");       // 127 x 303, name and version
} // namespace pictures

} // namespace resources
