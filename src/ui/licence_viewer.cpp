#include "ui/licence_viewer.h"

#include "platform/platform.h"

#include <QDesktopServices>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace {

// The encoding name a page declares in its first kilobyte, empty when it declares none.
QString declaredCharset(const QByteArray& bytes)
{
    static const QRegularExpression declaration(
        QStringLiteral(R"((?:charset|encoding)\s*=\s*["']?\s*([A-Za-z0-9_.:-]+))"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = declaration.match(QString::fromLatin1(bytes.left(1024)));
    return match.hasMatch() ? match.captured(1) : QString();
}

std::optional<QString> decodeAs(const QString& name, const QByteArray& bytes)
{
    if (QStringConverter::encodingForName(name.toLatin1().constData())) {
        QStringDecoder decoder(name.toLatin1().constData());
        return decoder.decode(bytes);
    }
    if (const int codePage = platform::codePageFromName(name); codePage > 0)
        return platform::decodeCodePage(bytes, codePage);
    return std::nullopt;
}

}  // namespace

TLicenceViewer::TLicenceViewer(QWidget* parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setAcceptDrops(false);
    connect(this, &QTextBrowser::anchorClicked, this, &TLicenceViewer::openLink);
}

QString TLicenceViewer::DecodeHtml(const QByteArray& bytes)
{
    if (const auto bom = QStringConverter::encodingForData(bytes)) {
        QStringDecoder decoder(*bom);
        return decoder.decode(bytes);
    }
    if (const QString declared = declaredCharset(bytes); !declared.isEmpty()) {
        if (const auto text = decodeAs(declared, bytes))
            return *text;
    }
    QStringDecoder utf8(QStringConverter::Utf8);
    const QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return platform::decodeCodePage(bytes, 1251);
}

void TLicenceViewer::Navigate(const QString& FileName)
{
    QFile file(FileName);
    const QByteArray bytes = !FileName.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    document()->setBaseUrl(QUrl::fromLocalFile(FileName));
    setHtml(DecodeHtml(bytes));
}

void TLicenceViewer::openLink(const QUrl& link)
{
    // A link within the page only scrolls; any other goes to the user's browser.
    if (link.isRelative() && link.path().isEmpty() && link.hasFragment()) {
        scrollToAnchor(link.fragment());
        return;
    }
    // a served licence may be tampered with: only web and mail links leave the page,
    // never a file or a program of the user's
    const QUrl target = document()->baseUrl().resolved(link);
    static const QStringList opened{QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto")};
    if (opened.contains(target.scheme().toLower()))
        QDesktopServices::openUrl(target);
}
