#pragma once

#include <QString>

// The program's hidden "--screenshot DIR" mode: walks the wizard's pages with a
// throw-away settings file and rooms hosted on loopback, and saves each page as
// DIR/setup-pageN.png, then the chat window as DIR/chat-*.png. Needs the
// application object; returns the process's exit code.
int takeScreenshots(const QString& folder);
