#pragma once
// A non-visual component holding one list of strings: the main window's string
// tables. Writing SetCount N resets the list to N + 1 lines "0" .. "N", so every
// line shows its own index until a translation writes it.

#include "i18n/strings.h"

#include <QObject>

class TVirtualStringList : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)
    Q_PROPERTY(int SetCount READ SetCount WRITE SetSetCount)
    Q_PROPERTY(TStrings* Lines READ Lines WRITE SetLines)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
public:
    explicit TVirtualStringList(QObject* AOwner = nullptr);

    QString Name() const { return objectName(); }
    void SetName(const QString& name) { setObjectName(name); }
    int Tag() const { return fTag; }
    void SetTag(int tag) { fTag = tag; }

    // The largest count a table takes, far above any string table of the program;
    // a larger one is invalid and ignored, so a damaged document cannot exhaust memory.
    static constexpr int MaxSetCount = 65535;

    int SetCount() const { return fSetCount; }
    void SetSetCount(int count);
    TStrings* Lines() const { return FLines; }
    void SetLines(TStrings* lines);
    QString Text() const { return FLines->Text(); }
    void SetText(const QString& text) { FLines->SetText(text); }

private:
    TStrings* FLines;
    int fSetCount = 0;
    int fTag = 0;
};
