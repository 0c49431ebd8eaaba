#include "ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

bool LoadQtTranslations(const QString& LangAlias)
{
    static QPointer<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
    }
    const QString language = LangAlias.section(QLatin1Char('_'), 0, 0);
    if (language.isEmpty() || language == QLatin1String("en"))
        return true;
    auto* translator = new QTranslator(QCoreApplication::instance());
    // The setup's dialogs all come from qtbase.
    if (!translator->load(QStringLiteral("qtbase_") + language, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
}
