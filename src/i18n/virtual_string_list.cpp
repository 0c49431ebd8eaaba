#include "i18n/virtual_string_list.h"

TVirtualStringList::TVirtualStringList(QObject* AOwner) : QObject(AOwner), FLines(new TStrings(this)) {}

void TVirtualStringList::SetSetCount(int count)
{
    if (count > MaxSetCount)
        return;
    fSetCount = count;
    FLines->Clear();
    for (int i = 0; i <= count; ++i)
        FLines->Add(QString::number(i));
}

void TVirtualStringList::SetLines(TStrings* lines)
{
    if (lines)
        FLines->Assign(*lines);
}
