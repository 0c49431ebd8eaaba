#include "i18n/strings.h"

#include "platform/platform_errors.h"

VRN_DECLARE_ERROR(EStringListError, Exception)

TStrings::TStrings(QObject* parent) : QObject(parent) {}

QString TStrings::operator[](int index) const
{
    if (index < 0 || index >= Count())
        throw EStringListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    return m_lines[index];
}

void TStrings::Put(int index, const QString& line)
{
    if (index < 0 || index >= Count())
        throw EStringListError(QStringLiteral("List index out of bounds (%1)").arg(index));
    m_lines[index] = line;
}

QString TStrings::Text() const
{
    QString text;
    for (const QString& line : m_lines)
        text += line + QStringLiteral("\r\n");
    return text;
}

void TStrings::SetText(const QString& text)
{
    m_lines.clear();
    qsizetype start = 0;
    const qsizetype length = text.size();
    while (start < length) {
        qsizetype end = start;
        while (end < length && text[end] != QLatin1Char('\r') && text[end] != QLatin1Char('\n'))
            ++end;
        m_lines.append(text.mid(start, end - start));
        if (end < length && text[end] == QLatin1Char('\r') && end + 1 < length && text[end + 1] == QLatin1Char('\n'))
            ++end;
        start = end + 1;
    }
}
