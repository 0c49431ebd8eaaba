#pragma once
// Translates the setup's window from one of the program's translation documents
// and expands the documents' text macros. Keeps no state but the edition flag.

#include <QString>

class QObject;

class CTranslator {
public:
    CTranslator() = delete;

    // Translates AWindow from the program's resource named AFileName (bFromResource)
    // or from the file AFileName. A missing resource or a document that does not
    // parse raises to the caller.
    static void Work(QObject* AWindow, const QString& AFileName, bool bFromResource);
    // The macro expansion run on every translated text: "$AppName$" and "$BuildWith$".
    static void DoAnalyseString(QString& Value);

    // The language's own name for itself, first letter upper case ("English", "Русский").
    static QString GetLangDisplayNameFormID(quint32 ID);
    // "en_GB" for 2057, "ru_RU" for 1049.
    static QString GetLangNameFormID(quint32 ID);

    // The edition whose name "$AppName$" expands to; set once at start-up.
    static void SetBetaMode(bool beta);
    static bool BetaMode();

    // Posted to the window after each translation.
    static constexpr int TranslatedEventType = 1000 + 25;  // QEvent::User + 25
};
