// Writes the program's built-in sounds and pictures and the default Sounds folder
// into a resources folder:
//   mirelune-resource-generator RESOURCES_DIR
// Everything it writes is drawn or synthesised here, deterministically, so the files
// in the repository can always be made again (resources/regenerate.sh).

#include "PictureDrawing.h"
#include "WaveSynth.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageWriter>
#include <QTextStream>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes, QTextStream& err) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        err << "cannot write " << path << ": " << file.errorString() << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2) {
        err << "usage: mirelune-resource-generator RESOURCES_DIR\n";
        return 2;
    }
    for (const QString& family : {u"IPAPGothic"_s, u"DejaVu Serif"_s, u"DejaVu Sans"_s}) {
        if (!QFontDatabase::hasFamily(family)) {
            err << "the font " << family << " is not installed\n";
            return 1;
        }
    }

    // The built-in sounds are kept apart from the default "Sounds" folder under a name
    // that differs by more than letter case, so a checkout on a case-insensitive file
    // system keeps both.
    const QDir root(args.at(1));
    for (const QString& folder : {u"builtin-sounds"_s, u"pictures"_s, u"Sounds"_s}) {
        if (!root.mkpath(folder)) {
            err << "cannot create " << root.filePath(folder) << '\n';
            return 1;
        }
    }

    bool ok = true;
    constexpr int kRate = 22050;
    const std::pair<const char*, generator::Samples> builtins[] = {
        {"builtin-sounds/message.wav", generator::messageChime()},
        {"builtin-sounds/join.wav", generator::joinSound()},
        {"builtin-sounds/leave.wav", generator::leaveSound()},
    };
    for (const auto& [name, samples] : builtins)
        ok = writeFile(root.filePath(QLatin1StringView(name)), generator::encodeWav(samples, kRate, 8), err) && ok;

    const std::pair<const char*, generator::Samples> folderSounds[] = {
        {"Sounds/bell.wav", generator::bell()},       {"Sounds/clap.wav", generator::clap()},
        {"Sounds/fanfare.wav", generator::fanfare()}, {"Sounds/knock.wav", generator::knock()},
        {"Sounds/whistle.wav", generator::whistle()},
    };
    for (const auto& [name, samples] : folderSounds)
        ok = writeFile(root.filePath(QLatin1StringView(name)), generator::encodeWav(samples, kRate, 16), err) && ok;

    for (const generator::Picture& picture : generator::drawPictures(QStringLiteral(MIRELUNE_VERSION))) {
        QImageWriter writer(root.filePath(u"pictures/"_s + picture.fileName), QByteArrayLiteral("png"));
        writer.setCompression(100); // the strongest zlib level
        if (!writer.write(picture.image)) {
            err << "cannot write " << writer.fileName() << ": " << writer.errorString() << '\n';
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
