#include "i18n/strings.h"

#include "app/text_lines.h"
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
    return JoinTextLines(m_lines);
}

void TStrings::SetText(const QString& text)
{
    m_lines = SplitTextLines(text);
}
