// The XML value store on any bytes: a document it reads is written out as the program
// writes its files, and what it wrote reads back to the same text.
#include "fuzz_target.h"

#include "xml/ex_simple_xml.h"

FUZZ_TARGET(xml_store)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TExSimpleXML first;
    try {
        first.LoadXML(bytes);
    } catch (const Exception&) {
        return;  // not well-formed: refused, as it must be
    }
    // the program's own reads: values by path, created when missing
    first.ReadValue(QStringLiteral("version"), {}, static_cast<qint64>(0));
    first.ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), {QStringLiteral("a"), QStringLiteral("b")}, QString());
    const QByteArray written = first.SaveStream(seUTF8);
    TExSimpleXML second;
    second.LoadXML(written);
    FUZZ_EXPECT(second.SaveStream(seUTF8) == written);
}
