// Build-time helper: the application icon in the sizes of the desktop's
// icon theme, each scaled down from the large one by halving steps.
//   icon-sizes SOURCE.png OUTPUT-FOLDER SIZE...
// writes OUTPUT-FOLDER/<SIZE>x<SIZE>/apps/<name of SOURCE>.
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: icon-sizes SOURCE.png OUTPUT-FOLDER SIZE...\n");
        return 2;
    }
    QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "icon-sizes: cannot read %s\n", argv[1]);
        return 1;
    }
    source = source.convertToFormat(QImage::Format_ARGB32);
    const QString name = QFileInfo(QString::fromLocal8Bit(argv[1])).fileName();
    for (int i = 3; i < argc; ++i) {
        const int size = QString::fromLocal8Bit(argv[i]).toInt();
        if (size <= 0) {
            std::fprintf(stderr, "icon-sizes: not a size: %s\n", argv[i]);
            return 2;
        }
        QImage image = source;
        while (image.width() >= 2 * size) image = image.scaled(image.width() / 2, image.height() / 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        const QString folder = QString("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        if (!QDir().mkpath(folder) || !image.save(folder + "/" + name, "PNG")) {
            std::fprintf(stderr, "icon-sizes: cannot write %s/%s\n", qPrintable(folder), qPrintable(name));
            return 1;
        }
    }
    return 0;
}
