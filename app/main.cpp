#include "HostRoomMode.h"
#include "ScreenshotMode.h"
#include "session/net/DescriptorTable.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QStringList>
#include <QTranslator>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr char kHelp[] = R"(使い方: mirelune [--help | --version]
Usage: mirelune [--help | --version]

Mirelune は LAN やインターネットのチャットルームで会話するプログラムです。
起動するとセットアップウィザードが開きます。ほかの引数は無視されます。
Mirelune chats in rooms on your LAN or over the Internet. It opens with the setup
wizard; any other argument is ignored.

  --help     この説明を表示して終了します / print this help and exit
  --version  バージョンを表示して終了します / print the version and exit

ウィンドウなしでルームを開く・参加するには mirelune-room を使います。
To host or join a room without a window, use mirelune-room (see mirelune-room --help).
)";

// --help and --version are answered before any window system is touched, so they
// work on a machine without a display; the first one given wins.
int answerInformationRequest(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs("mirelune " MIRELUNE_VERSION "\n", stdout);
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    // Before any other thread starts (see DescriptorTable.h).
    session::reserveDescriptorTable(session::kRoomDescriptors);
    if (const int answered = answerInformationRequest(argc, argv); answered >= 0) {
        return std::fflush(stdout) == 0 ? answered : 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Mirelune"_s);
    // The program ends on its own paths (wizard exit, chat window close), also while
    // only a message box is on screen.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's own dialogs and context menus in Japanese.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Japanese, QLocale::Japan), u"qtbase"_s, u"_"_s,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTranslator);
    }

    const QStringList arguments = QApplication::arguments();
    const qsizetype screenshot = arguments.indexOf(u"--screenshot"_s);
    if (screenshot > 0 && screenshot + 1 < arguments.size()) {
        return takeScreenshots(arguments.at(screenshot + 1));
    }
    // Not in the help: the benchmark hosts a room in the window program with it.
    const qsizetype hostRoom = arguments.indexOf(u"--host-room"_s);
    const qsizetype handle = arguments.indexOf(u"--handle"_s);
    if (hostRoom > 0 && hostRoom + 1 < arguments.size() && handle > 0 && handle + 1 < arguments.size()) {
        return hostRoomUnattended(arguments.at(hostRoom + 1), arguments.at(handle + 1));
    }

    int exitCode = 0;
    {
        frmSet wizard;
        frmMain::followWizard(wizard);
        if (wizard.Form_Load()) {
            wizard.show();
        }
        exitCode = QApplication::exec();
        basGlobal::ResetSessionState();
    }
    return exitCode;
}
