#pragma once
// A list of text lines as a component property. The form translator recognises
// it by its class name "TStrings" and fills it line by line.

#include <QObject>
#include <QStringList>

class TStrings : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Text READ Text WRITE SetText)
public:
    explicit TStrings(QObject* parent = nullptr);

    int Count() const { return int(m_lines.size()); }
    // Line `index`; throws EStringListError outside 0 .. Count() - 1.
    QString operator[](int index) const;
    void Put(int index, const QString& line);
    void Add(const QString& line) { m_lines.append(line); }
    void Clear() { m_lines.clear(); }
    void Assign(const TStrings& other) { m_lines = other.m_lines; }

    // Every line followed by CR LF.
    QString Text() const;
    // Replaces all lines, splitting at CR LF, LF or CR.
    void SetText(const QString& text);
    const QStringList& lines() const { return m_lines; }

private:
    QStringList m_lines;
};
