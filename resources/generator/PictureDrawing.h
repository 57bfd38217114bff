#pragma once

#include <QImage>
#include <QString>
#include <vector>

namespace generator {

struct Picture {
    QString fileName; // inside the pictures folder
    QImage image;
};

// Every picture of the chat window, each at the pixel size the window's layout is
// built around. `version` is written on the version picture.
std::vector<Picture> drawPictures(const QString& version);

} // namespace generator
