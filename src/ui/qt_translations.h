#pragma once
// Qt's own translations of its standard dialogs (message box buttons, the folder
// picker), so that they speak the run's language.

#include <QString>

// Installs Qt's translations for the language alias ("ru_RU"), replacing those of an
// earlier call; English ("en_GB") needs none and removes them. False when the
// language's translation files are not installed.
bool LoadQtTranslations(const QString& LangAlias);
