#include "i18n/setup_translator.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "i18n/xml_translator.h"
#include "platform/platform.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QEvent>
#include <QLocale>

#include <atomic>
#include <map>

namespace {

std::atomic<bool> betaMode{false};

static_assert(CTranslator::TranslatedEventType == QEvent::User + 25);

// Windows locale identifiers of the languages the setup meets, as locale names.
QLocale localeOf(quint32 ID, bool* known)
{
    static const std::map<quint32, const char*> names = {
        {1033, "en_US"}, {2057, "en_GB"}, {1049, "ru_RU"},
        {2073, "ru_MD"}, {1058, "uk_UA"}, {1059, "be_BY"},
    };
    const auto found = names.find(ID);
    *known = found != names.end();
    return *known ? QLocale(QString::fromLatin1(found->second)) : QLocale::c();
}

// The language's name without a regional variant ("English", not "British English").
QString nativeLanguageName(const QLocale& locale)
{
    const QLocale worldwide(locale.language(), QLocale::World);
    if (worldwide.language() == locale.language() && worldwide.territory() == QLocale::World)
        return worldwide.nativeLanguageName();
    return QLocale(locale.language()).nativeLanguageName();
}

}  // namespace

void CTranslator::Work(QObject* AWindow, const QString& AFileName, bool bFromResource)
{
    Logger().Info(QStringLiteral("[CTranslator] Work: ") + AWindow->objectName() + QStringLiteral(", ") +
                  AFileName + QStringLiteral(", ") + BoolToStr(bFromResource));
    TXMLTranslator translator;
    translator.SetOnAnalyseSrt(&CTranslator::DoAnalyseString);
    if (bFromResource) {
        QByteArray document =
            platform::readResource(platform::executablePath(), platform::ResourceId::named(AFileName));
        QBuffer stream(&document);
        stream.open(QIODevice::ReadOnly);
        translator.Translate(&stream, AWindow);
    } else {
        translator.Translate(AFileName, AWindow);
    }
    QCoreApplication::postEvent(AWindow, new QEvent(QEvent::Type(TranslatedEventType)));
}

void CTranslator::DoAnalyseString(QString& Value)
{
    Value.replace(QStringLiteral("$AppName$"), betaMode ? QStringLiteral("Vorlen BETA") : QStringLiteral("Vorlen"));
    Value.replace(QStringLiteral("$BuildWith$"), QStringLiteral("flexLayers"));
}

QString CTranslator::GetLangDisplayNameFormID(quint32 ID)
{
    bool known = false;
    const QLocale locale = localeOf(ID, &known);
    QString name = known ? nativeLanguageName(locale) : QString();
    if (!name.isEmpty())
        name.replace(0, 1, QLocale().toUpper(name.left(1)));
    return name;
}

QString CTranslator::GetLangNameFormID(quint32 ID)
{
    bool known = false;
    const QLocale locale = localeOf(ID, &known);
    if (!known)
        return QStringLiteral("_");
    return QLocale::languageToCode(locale.language()) + QLatin1Char('_') +
           QLocale::territoryToCode(locale.territory());
}

void CTranslator::SetBetaMode(bool beta) { betaMode = beta; }

bool CTranslator::BetaMode() { return betaMode; }
