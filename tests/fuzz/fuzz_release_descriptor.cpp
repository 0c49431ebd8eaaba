// The release descriptor and its signature as the server sends them: the input is a
// descriptor, a NUL, and a signature text. Whatever the bytes, only the exact text the
// key signed is accepted, and the descriptor's values read as the setup reads them.
#include "fuzz_target.h"

#include "net/release_integrity.h"
#include "xml/ex_simple_xml.h"

namespace {

// A key made for these tests and the signature of `Signed` by it (seeds hold both).
const QString PublicKey = QStringLiteral("DtCtE/5A0cOSf2uFU2xE18o9TJpiBnFYiuvup7xupY8=");
const QByteArray Signed = "<system><version>15</version><number>1</number></system>";

}  // namespace

FUZZ_TARGET(release_descriptor)
{
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = input.indexOf('\0');
    const QByteArray descriptor = split < 0 ? input : input.left(split);
    const QByteArray signature = split < 0 ? QByteArray() : input.mid(split + 1);
    if (ReleaseIntegrity::IsValidSignature(descriptor, signature, PublicKey))
        FUZZ_EXPECT(descriptor == Signed);
    TExSimpleXML xml;
    try {
        xml.LoadXML(descriptor);
    } catch (const Exception&) {
        return;
    }
    ReadElemItemInt(xml.Root(), QStringLiteral("version"), 0);
    ReadElemItemInt(xml.Root(), QStringLiteral("number"), 0);
    for (const char* property : {"bytes", "fileCount", "sha256"})
        xml.ReadProperties(QStringLiteral("size"), QString::fromLatin1(property), {}, QString());
    for (const char* property : {"bytes", "sha256"})
        xml.ReadProperties(QStringLiteral("tail"), QString::fromLatin1(property), {}, static_cast<qint64>(0));
    xml.ReadProperties(QStringLiteral("setup"), QStringLiteral("sha256"), {}, QString());
}
