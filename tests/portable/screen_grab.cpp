// Saves the screen of $DISPLAY as a PNG once a window shows in its middle:
//   portable_screen_grab <file.png> <seconds to wait>; exits 1 when none appears.
// With --check <file.png> it only tells (exit 0) whether a window shows in the middle
// of a screenshot taken otherwise.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

namespace {

bool windowInMiddle(const QImage& image)
{
    return !image.isNull() && image.pixel(0, 0) != image.pixel(image.width() / 2, image.height() / 2);
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    if (argc < 3)
        return 2;
    if (QString::fromLocal8Bit(argv[1]) == QLatin1String("--check"))
        return windowInMiddle(QImage(QString::fromLocal8Bit(argv[2]))) ? 0 : 1;
    QScreen* screen = QGuiApplication::primaryScreen();
    for (int tenth = 0; tenth < QString::fromLocal8Bit(argv[2]).toInt() * 10; ++tenth) {
        if (windowInMiddle(screen->grabWindow(0).toImage())) {
            QThread::msleep(1500);  // the page is painted some moments after its window maps
            return screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        }
        QThread::msleep(100);
    }
    return 1;
}
