// Paints the program's images into a directory: close.png, progress_bg.png, progress_front.png.
// Every pixel is computed from integer arithmetic, so the output is the same on every run.

#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace
{

// A white cross on a transparent ground: both diagonals, corner to corner, about two pixels
// wide, with a coverage-based soft edge.
QImage paintClose()
{
    const int size = 16;
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    const int samples = 4;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            int covered = 0;
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    const double px = x + (sx + 0.5) / samples;
                    const double py = y + (sy + 0.5) / samples;
                    // Distance to the diagonals y = x and y = size - x.
                    const double d1 = std::fabs(py - px) / std::sqrt(2.0);
                    const double d2 = std::fabs(py - (size - px)) / std::sqrt(2.0);
                    if (std::min(d1, d2) <= 1.0)
                        ++covered;
                }
            }
            const int alpha = covered * 255 / (samples * samples);
            image.setPixelColor(x, y, QColor(255, 255, 255, alpha));
        }
    }
    return image;
}

// Opaque dark slate with a lighter 580 x 2 line on rows 6 and 7, x = 10 to 589.
QImage paintProgressBackground()
{
    QImage image(600, 14, QImage::Format_RGB32);
    image.fill(QColor(45, 47, 57));
    for (int y = 6; y <= 7; ++y)
        for (int x = 10; x <= 589; ++x)
            image.setPixelColor(x, y, QColor(126, 128, 140));
    return image;
}

// An opaque light-blue 580 x 2 line on rows 5 and 6, x = 5 to 584, inside a translucent blue
// glow whose opacity falls off with the distance from the line.
QImage paintProgressFront()
{
    QImage image(590, 12, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    const int reach = 5;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int dy = y < 5 ? 5 - y : (y > 6 ? y - 6 : 0);
            const int dx = x < 5 ? 5 - x : (x > 584 ? x - 584 : 0);
            if (dx == 0 && dy == 0) {
                image.setPixelColor(x, y, QColor(27, 191, 228, 255));
                continue;
            }
            const int d = std::max(dx, dy) + std::min(dx, dy) / 2;
            if (d > reach)
                continue;
            const int alpha = 160 * (reach + 1 - d) * (reach + 1 - d) / ((reach + 1) * (reach + 1));
            image.setPixelColor(x, y, QColor(27, 151, 215, alpha));
        }
    }
    return image;
}

bool save(const QImage& image, const QString& path)
{
    QImageWriter writer(path, "png");
    if (writer.write(image))
        return true;
    QTextStream(stderr) << path << ": " << writer.errorString() << '\n';
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: paintimages <output directory>\n";
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = save(paintClose(), dir.filePath(QStringLiteral("close.png")));
    ok = save(paintProgressBackground(), dir.filePath(QStringLiteral("progress_bg.png"))) && ok;
    ok = save(paintProgressFront(), dir.filePath(QStringLiteral("progress_front.png"))) && ok;
    return ok ? 0 : 1;
}
