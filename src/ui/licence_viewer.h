#pragma once
// The licence page's viewer: shows a local HTML file read in the encoding it
// declares, and hands its web and mail links to the user's browser instead of
// following them; any other link is ignored.

#include <QTextBrowser>

class TLicenceViewer : public QTextBrowser {
    Q_OBJECT
public:
    explicit TLicenceViewer(QWidget* parent = nullptr);

    // Shows the HTML file; a file that cannot be read shows an empty page.
    void Navigate(const QString& FileName);

    // The page's text: in the encoding of its byte-order mark or its declaration
    // (a meta charset or an XML declaration); undeclared, UTF-8 when the bytes are
    // valid UTF-8, otherwise windows-1251, the code page of the Russian licence.
    static QString DecodeHtml(const QByteArray& bytes);

private:
    void openLink(const QUrl& link);
};
