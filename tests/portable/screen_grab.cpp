// Saves the whole screen of $DISPLAY as a PNG once it shows more than a bare background:
//   portable_screen_grab <file.png> [seconds to wait]
// Exits 0 when a window was seen, 1 when the screen stayed blank.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

namespace {

bool showsSomething(const QImage& image)
{
    const QRgb background = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4)
            if (image.pixel(x, y) != background)
                return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    if (argc < 2)
        return 2;
    const int tenths = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() * 10 : 100;
    for (int i = 0; i < tenths; ++i) {
        const QImage image = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        // a page is painted some moments after its window appears
        if (showsSomething(image)) {
            QThread::msleep(1500);
            return QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        }
        QThread::msleep(100);
    }
    return 1;
}
