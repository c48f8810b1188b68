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
    const QImage art(QString::fromLocal8Bit(argv[1]), "XPM");
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
        const QImage icon = art.convertToFormat(QImage::Format_ARGB32)
                                .scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        if (!QDir().mkpath(dir) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "kestrup-icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
