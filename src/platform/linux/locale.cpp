// The system language and its 8-bit code page, from the locale variables.
#include "platform/platform.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cstdlib>
#include <map>

namespace platform {

namespace {

// Locale names and the Windows language identifiers they stand for.
const std::map<QString, quint16> languageIds = {
    {QStringLiteral("ru_RU"), 0x0419}, {QStringLiteral("uk_UA"), 0x0422},
    {QStringLiteral("be_BY"), 0x0423}, {QStringLiteral("ru_MD"), 0x0819},
    {QStringLiteral("en_GB"), 0x0809}, {QStringLiteral("en_US"), 0x0409},
};
constexpr quint16 unknownLanguageId = 0x0409;

QString localeVariable()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return QString::fromLocal8Bit(value);
    }
    return {};
}

// "ru_RU.UTF-8@euro" -> "ru_RU"
QString localeName(const QString& variable)
{
    QString name = variable;
    for (QChar stop : {QLatin1Char('.'), QLatin1Char('@')}) {
        const qsizetype at = name.indexOf(stop);
        if (at >= 0)
            name.truncate(at);
    }
    return name;
}

bool isCyrillicLanguage(quint16 langId)
{
    const quint16 primary = langId & 0x3FF;
    return primary == 0x19 || primary == 0x22 || primary == 0x23;
}

const char* encodingName(int codePage)
{
    switch (codePage) {
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 28591: return "ISO-8859-1";
    case 20866: return "KOI8-R";
    case 866: return "IBM866";
    case 1250: return "windows-1250";
    case 1251: return "windows-1251";
    case 1252: return "windows-1252";
    default: return nullptr;
    }
}

}  // namespace

quint16 systemDefaultLangId()
{
    const auto found = languageIds.find(localeName(localeVariable()));
    return found == languageIds.end() ? unknownLanguageId : found->second;
}

quint16 ansiCodePage()
{
    return isCyrillicLanguage(systemDefaultLangId()) ? 1251 : 1252;
}

QByteArray encodeCodePage(const QString& text, int codePage)
{
    if (codePage == 0)
        codePage = ansiCodePage();
    const char* name = encodingName(codePage);
    QStringEncoder encoder(name ? name : "windows-1252");
    QByteArray bytes = encoder.encode(text);
    if (!encoder.hasError())
        return bytes;
    // the converter substitutes its own character; the system writes "?"
    bytes.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QStringEncoder single(name ? name : "windows-1252");
        const QByteArray piece = single.encode(QStringView(text).mid(i, length));
        bytes += single.hasError() ? QByteArray("?") : piece;
        i += length - 1;
    }
    return bytes;
}

QString decodeCodePage(const QByteArray& bytes, int codePage)
{
    if (codePage == 0)
        codePage = ansiCodePage();
    const char* name = encodingName(codePage);
    QStringDecoder decoder(name ? name : "windows-1252");
    return decoder.decode(bytes);
}

QString codePageName(int codePage)
{
    const char* name = encodingName(codePage);
    return name ? QString::fromLatin1(name) : QStringLiteral("windows-%1").arg(codePage);
}

int codePageFromName(const QString& name)
{
    const QString wanted = name.trimmed().toLower();
    if (wanted == QLatin1String("utf-8") || wanted == QLatin1String("utf8"))
        return 65001;
    if (wanted == QLatin1String("utf-16") || wanted == QLatin1String("utf-16le") || wanted == QLatin1String("unicode"))
        return 1200;
    if (wanted == QLatin1String("iso-8859-1") || wanted == QLatin1String("latin1"))
        return 28591;
    if (wanted == QLatin1String("koi8-r"))
        return 20866;
    if (wanted == QLatin1String("ibm866") || wanted == QLatin1String("cp866"))
        return 866;
    for (const QLatin1String prefix : {QLatin1String("windows-"), QLatin1String("cp")}) {
        if (wanted.startsWith(prefix)) {
            bool ok = false;
            const int number = wanted.mid(prefix.size()).toInt(&ok);
            if (ok)
                return number;
        }
    }
    return 0;
}

}  // namespace platform
