// Renders the program's icon (an XPM of the artwork) as PNG files for the
// desktop's hicolor icon theme:
//   kestrup-icons <icon.xpm> <outdir> <name> <size>...
// writes <outdir>/<size>x<size>/apps/<name>.png for each size. The artwork is
// pixel art, so each size that is a whole multiple of the artwork's is scaled
// without smoothing; any other size is refused rather than blurred.
#include <QtCore/QDir>
#include <QtCore/QString>
#include <QtGui/QImage>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: kestrup-icons <icon.xpm> <outdir> <name> <size>...\n");
        return 2;
    }
    const QImage art =
        QImage(QString::fromLocal8Bit(argv[1]), "XPM").convertToFormat(QImage::Format_ARGB32);
    if (art.isNull() || art.width() != art.height()) {
        std::fprintf(stderr, "kestrup-icons: %s is not a square XPM image\n", argv[1]);
        return 1;
    }
    const QString outdir = QString::fromLocal8Bit(argv[2]);
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end != '\0' || size <= 0 || size > 1024 || size % art.width() != 0) {
            std::fprintf(stderr, "kestrup-icons: size %s is not a multiple of %d\n", argv[i],
                         art.width());
            return 1;
        }
        const int side = static_cast<int>(size);
        const QString dir = QString("%1/%2x%2/apps").arg(outdir).arg(side);
        const QString file = dir + "/" + name + ".png";
        // Each pixel of the artwork becomes a square of pixels, copied by hand:
        // QImage::scaled would start a thread pool, and the tool also runs in
        // the sanitizer builds.
        const int factor = side / art.width();
        QImage icon(side, side, QImage::Format_ARGB32);
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                icon.setPixel(x, y, art.pixel(x / factor, y / factor));
            }
        }
        if (!QDir().mkpath(dir) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "kestrup-icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
