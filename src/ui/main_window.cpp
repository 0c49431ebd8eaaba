#include "ui/main_window.h"

#include "app/setup_logging.h"
#include "i18n/setup_translator.h"
#include "platform/platform.h"
#include "ui/page_progress.h"
#include "ui/qt_translations.h"
#include "ui/window_fonts.h"

#include <QAccessibleWidget>
#include <QBuffer>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>

TMainWindow* MainWindow = nullptr;

namespace {

QByteArray programResource(const QString& name)
{
    return platform::readResource(platform::executablePath(), platform::ResourceId::named(name));
}

// An image whose animation runs only while it is on screen, so that a hidden
// image never wakes the message pump.
class TAnimatedImage final : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void showEvent(QShowEvent* event) override
    {
        if (movie())
            movie()->start();
        QLabel::showEvent(event);
    }
    void hideEvent(QHideEvent* event) override
    {
        if (movie())
            movie()->stop();
        QLabel::hideEvent(event);
    }
};

// A screen reader sees the window as a frame named by its caption, as it sees the
// main windows of other programs (a plain widget would be a nameless filler).
QAccessibleInterface* windowAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String(TMainWindow::staticMetaObject.className()))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

}  // namespace

QMovie* LoadGIFResource(const QString& Name)
{
    auto* movie = new QMovie;
    auto* data = new QBuffer(movie);
    data->setData(programResource(Name));
    data->open(QIODevice::ReadOnly);
    movie->setDevice(data);
    movie->setFormat("gif");
    movie->setCacheMode(QMovie::CacheAll);
    return movie;
}

TMainWindow::TMainWindow(const QString& SystemLangAlias, QWidget* parent)
    : QWidget(parent),
      InstallStrings(new TVirtualStringList(this)),
      UninstallStrings(new TVirtualStringList(this)),
      Shortcuts(new TVirtualStringList(this))
{
    QAccessible::installFactory(windowAccessible);  // once: a factory installed again is ignored
    // What the form resource fixes.
    setObjectName(QStringLiteral("MainWindow"));
    InstallStrings->SetName(QStringLiteral("InstallStrings"));
    UninstallStrings->SetName(QStringLiteral("UninstallStrings"));
    Shortcuts->SetName(QStringLiteral("Shortcuts"));
    setWindowTitle(QStringLiteral("&Setup - Vorlen (including flexLayers)"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(ClientWidth, ClientHeight);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    setFont(WindowFont());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate(SystemLangAlias);
}

TMainWindow::~TMainWindow()
{
    if (MainWindow == this)
        MainWindow = nullptr;
}

void TMainWindow::FormCreate(const QString& SystemLangAlias)
{
    logUI(QStringLiteral("OnCreateWindow"));
    FSystemLangAlias = SystemLangAlias;
    CTranslator::Work(this, QStringLiteral("Lang_") + SystemLangAlias, true);
    LoadQtTranslations(SystemLangAlias);

    appLogo = new QLabel(this);
    appLogo->setObjectName(QStringLiteral("appLogo"));
    QPixmap logo;
    logo.loadFromData(programResource(QStringLiteral("logo")), "PNG");
    appLogo->setPixmap(logo);
    appLogo->resize(logo.size());
    appLogo->move(ClientWidth / 2 - appLogo->width() / 2, ClientHeight / 2 - appLogo->height() - 20);
    appLogo->setAccessibleName(QStringLiteral("Vorlen"));
    appLogo->hide();
    // the taskbar and the window switcher show it
    QPixmap icon;
    icon.loadFromData(programResource(QStringLiteral("ICON")), "PNG");
    setWindowIcon(icon);

    NetWork = new TAnimatedImage(this);
    NetWork->setObjectName(QStringLiteral("NetWork"));
    QMovie* network = LoadGIFResource(QStringLiteral("NETWORK"));
    network->setParent(NetWork);  // the image keeps the animation
    network->jumpToFrame(0);
    NetWork->setMovie(network);
    NetWork->resize(network->currentPixmap().size());
    NetWork->move(ClientWidth - 22, 2);
    NetWork->setAccessibleName(QStringLiteral("Network activity"));
    NetWork->hide();

    btnNext = new QPushButton(QStringLiteral("Action"), this);
    btnNext->setObjectName(QStringLiteral("btnNext"));
    btnNext->setGeometry(ClientWidth - 103, ClientHeight - 40, 94, 29);
    btnNext->setDefault(true);
    btnNext->hide();

    lbTitle = new QLabel(QStringLiteral("Title"), this);
    lbTitle->setObjectName(QStringLiteral("lbTitle"));
    lbTitle->setGeometry(46, 31, ClientWidth - 92, 48);
    lbTitle->setFont(WindowFont(14));
    lbTitle->setWordWrap(true);
    lbTitle->hide();

    page_Prepare();
    logUI(QStringLiteral("OnCreateWindow - Done"));
}

void TMainWindow::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    FormPaint();
}

void TMainWindow::FormPaint()
{
    QPainter canvas(this);
    const auto drawAt = [&canvas](int x, int width, const QString& text) {
        canvas.drawText(QRect(x, 2, width, 20), Qt::AlignLeft | Qt::AlignTop, text);
    };
    if (CTranslator::BetaMode())
        drawAt(ClientWidth / 2, 100, QStringLiteral("Stream: BETA"));
    // The host text ends before the network image: a long host name gets a smaller font.
    const int hostLeft = ClientWidth / 2 + 100;
    const int hostWidth = NetWork->x() - 4 - hostLeft;
    QFont hostFont = canvas.font();
    while (hostFont.pointSize() > 6 && QFontMetrics(hostFont).horizontalAdvance(SHosting) > hostWidth)
        hostFont.setPointSize(hostFont.pointSize() - 1);
    canvas.setFont(hostFont);
    drawAt(hostLeft, hostWidth, QFontMetrics(hostFont).elidedText(SHosting, Qt::ElideRight, hostWidth));
}

void TMainWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QWidget::keyPressEvent(event);
        return;
    }
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (!button || !button->isVisible())
        button = btnNext;
    if (button->isVisible() && button->isEnabled())
        button->click();
}

void TMainWindow::ControlNetworkImage(bool BVisible)
{
    NetWork->setVisible(BVisible);
}

void TMainWindow::ShowPage(quint8 LogoMode, const QString& ButtonCaption, const QString& Title)
{
    logUI(QStringLiteral("Page: \"%1\", \"%2\"").arg(Title, ButtonCaption));
    repaint();
    switch (LogoMode) {
    case 0: appLogo->hide(); break;
    case 1: appLogo->move(ClientWidth / 2 - appLogo->width() / 2, 20); appLogo->show(); break;
    case 2: appLogo->move(16, 16); appLogo->show(); break;
    default: break;
    }
    btnNext->setVisible(!ButtonCaption.isEmpty());
    if (!ButtonCaption.isEmpty())
        btnNext->setText(ButtonCaption);
    lbTitle->setVisible(!Title.isEmpty());
    if (!Title.isEmpty())
        lbTitle->setText(Title);
}

void TMainWindow::HidePage()
{
    logUI(QStringLiteral("Hide Page"));
    repaint();
    for (QObject* child : children()) {
        if (child->isWidgetType())
            static_cast<QWidget*>(child)->hide();
    }
}

QString TMainWindow::InstallString(int n) const
{
    const QStringList& lines = InstallStrings->Lines()->lines();
    return lines.value(n);
}

QString TMainWindow::UninstallString(int n) const
{
    const QStringList& lines = UninstallStrings->Lines()->lines();
    return lines.value(n);
}

void TMainWindow::onClick(QAbstractButton* button, void (TMainWindow::*handler)(), bool endsPage)
{
    QObject::disconnect(button, &QAbstractButton::clicked, this, nullptr);
    connect(button, &QAbstractButton::clicked, this, [this, handler, endsPage] {
        // The page has answered and the script has not taken the answer yet, or a
        // dialog of this handler is still open: a second click changes nothing.
        if (FInHandler || (endsPage && gUserActed))
            return;
        QScopedValueRollback<bool> busy(FInHandler, true);
        (this->*handler)();
    });
}

void TMainWindow::arrangeTabOrder(const QList<QWidget*>& controls)
{
    QList<QWidget*> chain = controls;
    chain.append(btnNext);
    // a screen reader reads the window's children in order: the action button last
    btnNext->raise();
    for (qsizetype i = 1; i < chain.size(); ++i)
        setTabOrder(chain[i - 1], chain[i]);
    for (QWidget* candidate : chain) {
        if (!candidate->isHidden() && candidate->isEnabled() && (candidate->focusPolicy() & Qt::TabFocus)) {
            candidate->setFocus();
            break;
        }
    }
}

QProgressBar* TMainWindow::makeMarqueeBar(const QString& name, int top)
{
    auto* bar = makeControl<QProgressBar>(name);
    bar->setGeometry(46, top, ClientWidth - 92, bar->sizeHint().height());
    bar->setTextVisible(false);
    bar->setAccessibleName(QStringLiteral("Progress"));
    SetMarquee(bar);
    return bar;
}

void TMainWindow::logUI(const QString& step)
{
    Logger().Info(QStringLiteral("[UI] ") + step);
}

void TMainWindow::answer(const QString& choice)
{
    gUserChoice = choice;
    gUserActed = true;
}

QLabel* TMainWindow::makeProgressLabel(int barTop, const QString& text)
{
    auto* label = makeControl<QLabel>(QStringLiteral("lbText4"));
    label->setText(text);
    label->setFont(font());
    const int height = label->sizeHint().height();
    label->setGeometry(46, barTop - 2 - height, ClientWidth - 92, height);
    return label;
}

void TMainWindow::makeDownloadProgress(const QString& barName, int top, int endString, TWorkBeginProc& onWorkBegin,
                                       TWorkProc& onWork, TWorkEndProc& onWorkEnd)
{
    auto state = std::make_shared<PageProgress>();
    state->Self = this;
    state->EndStringIndex = endString;
    state->PB = makeMarqueeBar(barName, top);
    state->lbText4 = makeProgressLabel(top, InstallString(12));
    HandOutProgressCallbacks(state, onWorkBegin, onWork, onWorkEnd);
}

TMainWindow* CreateMainWindow(const QString& SystemLangAlias)
{
    MainWindow = new TMainWindow(SystemLangAlias);
    CSetupCore::MarkAsMainWindow(MainWindow);
    return MainWindow;
}
