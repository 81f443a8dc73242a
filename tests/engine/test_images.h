#pragma once
// PNG images for the icon tests, drawn with the image library the engine uses.
#include <QColor>
#include <QImage>
#include <string>

#include "testkit/testkit.h"

namespace enginetest {

inline std::string pngImage(int width, int height, QColor color) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(color);
    const std::string file = testkit::makeScratchDir("png") + "/image.png";
    if (!image.save(QString::fromStdString(file), "PNG")) return {};
    return testkit::readFile(file);
}

}  // namespace enginetest
