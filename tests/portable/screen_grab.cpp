// Saves the screen of $DISPLAY as a PNG once a window shows in its middle:
//   portable_screen_grab <file.png> <seconds to wait>; exits 1 when none appears.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    if (argc < 3)
        return 2;
    QScreen* screen = QGuiApplication::primaryScreen();
    for (int tenth = 0; tenth < QString::fromLocal8Bit(argv[2]).toInt() * 10; ++tenth) {
        const QImage image = screen->grabWindow(0).toImage();
        if (image.pixel(0, 0) != image.pixel(image.width() / 2, image.height() / 2)) {
            QThread::msleep(1500);  // the page is painted some moments after its window maps
            return screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        }
        QThread::msleep(100);
    }
    return 1;
}
