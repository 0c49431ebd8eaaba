// The store's files: exact output, encodings, verbatim values, load and save failures.
#include "xml/ex_simple_xml.h"

#include "platform/platform.h"
#include "support/process_runner.h"
#include "support/sandbox.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QThread>

#include <gtest/gtest.h>

namespace {

const QByteArray utf8Bom("\xEF\xBB\xBF", 3);
const QByteArray newDeclaration("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n");
const QStringList rootPath;

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// The tree and its text, independent of the encoding it was stored in.
QByteArray treeOf(const TExSimpleXML& xml) { return xml.SaveStream(seUTF8).mid(utf8Bom.size()); }

}  // namespace

TEST(SimpleXmlFiles, NewDocumentForAMissingFileIsSavedByteForByteIntoNewFolders)
{
    const QString path = sandbox::freshFolder(QStringLiteral("new")) + QStringLiteral("/a/b/Application.xml");
    TExSimpleXML xml;
    EXPECT_FALSE(xml.LoadXMLFile(path));
    EXPECT_EQ(xml.FileName(), path);

    xml.Root().SetName(QStringLiteral("vrn"));
    WriteElemProperty(WriteElemProperty(xml.Root(), QStringLiteral("path"), QStringLiteral("/opt/Vorlen/")),
                      QStringLiteral("hid"), QStringLiteral("1A2B-3C4D"));
    xml.WriteValue(QStringLiteral("lang"), {QStringLiteral("global")}, QStringLiteral("en_GB"));
    xml.WriteValue(QStringLiteral("eula"), {QStringLiteral("global")}, true);
    xml.GetItem({QStringLiteral("empty")});
    xml.SaveXMLFile(seAuto);

    EXPECT_EQ(readFile(path), utf8Bom + newDeclaration +
                                  "<vrn path=\"/opt/Vorlen/\" hid=\"1A2B-3C4D\">\r\n"
                                  "  <global>\r\n"
                                  "    <lang>en_GB</lang>\r\n"
                                  "    <eula>True</eula>\r\n"
                                  "  </global>\r\n"
                                  "  <empty/>\r\n"
                                  "</vrn>\r\n");
    EXPECT_EQ(entriesOf(QFileInfo(path).absolutePath()), QStringList{QStringLiteral("Application.xml")})
        << "no temporary file is left beside it";
}

TEST(SimpleXmlFiles, UnnamedRootWritesOnlyItsChildrenOneLevelDeep)
{
    TExSimpleXML xml;
    xml.ReadValue(QStringLiteral("lang"), {QStringLiteral("global")}, QStringLiteral("en_GB"));
    xml.WriteValue(QStringLiteral("number"), rootPath, qint64(41));
    EXPECT_EQ(xml.SaveStream(seAuto), utf8Bom + newDeclaration +
                                          "  <global>\r\n"
                                          "    <lang>en_GB</lang>\r\n"
                                          "  </global>\r\n"
                                          "  <number>41</number>\r\n");
}

TEST(SimpleXmlFiles, LoadedPrologAndTreeAreWrittenInTheFixedLayout)
{
    const QString path = sandbox::freshFolder(QStringLiteral("prolog")) + QStringLiteral("/Core.xml");
    writeBytes(path, "<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\"?>\n"
                     "<!-- by hand -->\n<?app keep me?>\n"
                     "<Core  a='1' b=\"2\"><number>\n 5 </number><empty></empty>"
                     "<list><!-- c --><x>1</x></list></Core>\n");
    TExSimpleXML xml;
    ASSERT_TRUE(xml.LoadXMLFile(path));
    EXPECT_EQ(xml.Encoding(), seAnsi);
    EXPECT_EQ(xml.CodePage(), 1251);
    xml.SaveXMLFile();

    EXPECT_EQ(readFile(path), QByteArray("<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"yes\"?>\r\n"
                                         "<!-- by hand -->\r\n"
                                         "<?app keep me?>\r\n"
                                         "<Core a=\"1\" b=\"2\">\r\n"
                                         "  <number>5</number>\r\n"
                                         "  <empty/>\r\n"
                                         "  <list>\r\n"
                                         "    <!-- c -->\r\n"
                                         "    <x>1</x>\r\n"
                                         "  </list>\r\n"
                                         "</Core>\r\n"));
}

TEST(SimpleXmlFiles, ValuesAreStoredVerbatim)
{
    const QString path = sandbox::freshFolder(QStringLiteral("amp")) + QStringLiteral("/v.xml");
    TExSimpleXML xml;
    xml.LoadXMLFile(path);
    xml.Root().SetName(QStringLiteral("r"));
    xml.WriteValue(QStringLiteral("name"), rootPath, QStringLiteral("Tom & Jerry &amp; co"));
    xml.WriteProperties(QStringLiteral("name"), QStringLiteral("a"), rootPath, QStringLiteral("x&y"));
    xml.SaveXMLFile();
    EXPECT_TRUE(readFile(path).contains("<name a=\"x&y\">Tom & Jerry &amp; co</name>"));

    TExSimpleXML again;
    ASSERT_TRUE(again.LoadXMLFile(path));
    EXPECT_EQ(again.ReadValue(QStringLiteral("name"), rootPath, QString()), QStringLiteral("Tom & Jerry &amp; co"));
    EXPECT_EQ(again.ReadProperties(QStringLiteral("name"), QStringLiteral("a"), rootPath, QString()),
              QStringLiteral("x&y"));

    // character references stay literal too
    again.LoadXML(QByteArray("<r>&#65;&lt;</r>"));
    EXPECT_EQ(again.Root().Value(), QStringLiteral("&#65;&lt;"));
}

TEST(SimpleXmlFiles, SavedAndLoadedAgainInEachEncodingGivesTheSameTree)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("encodings"));
    const QString cyrillic = QStringLiteral("Путь к папке");
    struct Case {
        const char* declared;
        TStringEncoding encoding;
        quint16 codePage;
        QByteArray start;
    };
    const Case cases[] = {{"UTF-8", seUTF8, 65001, utf8Bom + "<?xml"},
                          {"UTF-16", seUTF16, 1200, QByteArray("\xFF\xFE<\0?\0", 6)},
                          {"windows-1251", seAnsi, 1251, QByteArray("<?xml")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declared);
        const QString path = folder + QLatin1Char('/') + QLatin1String(c.declared) + QStringLiteral(".xml");
        TExSimpleXML xml;
        xml.LoadXMLFile(path);
        xml.SetDeclaredEncoding(QLatin1String(c.declared));
        xml.Root().SetName(QStringLiteral("vrn"));
        WriteElemProperty(xml.Root(), QStringLiteral("path"), cyrillic);
        xml.WriteValue(QStringLiteral("name"), {QStringLiteral("global")}, cyrillic);
        xml.SaveXMLFile(seAuto);

        const QByteArray bytes = readFile(path);
        EXPECT_TRUE(bytes.startsWith(c.start));
        if (c.encoding == seAnsi) {
            EXPECT_TRUE(bytes.contains(platform::encodeCodePage(cyrillic, 1251)));
        }

        TExSimpleXML again;
        ASSERT_TRUE(again.LoadXMLFile(path));
        EXPECT_EQ(again.Encoding(), c.encoding);
        EXPECT_EQ(again.CodePage(), c.codePage);
        EXPECT_EQ(again.ReadValue(QStringLiteral("name"), {QStringLiteral("global")}, QString()), cyrillic);
        EXPECT_EQ(treeOf(again), treeOf(xml));
        EXPECT_EQ(again.SaveStream(seAuto), bytes) << "saving again changes nothing";
    }
}

TEST(SimpleXmlFiles, EncodingIsDetectedFromMarkThenDeclarationThenTheSystemCodePage)
{
    const QByteArray cyrillic1251("\xCF\xF3\xF2\xFC", 4);  // "Путь"
    TExSimpleXML xml;

    xml.LoadXML(QByteArray("<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>") + cyrillic1251 + "</r>");
    EXPECT_EQ(xml.Root().Value(), QStringLiteral("Путь"));

    xml.LoadXML(QByteArray("<?xml version='1.0' encoding='utf-8'?><r>Путь</r>"));
    EXPECT_EQ(xml.Encoding(), seUTF8);
    EXPECT_EQ(xml.Root().Value(), QStringLiteral("Путь"));

    // a mark outranks the declaration
    xml.LoadXML(utf8Bom + "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>Путь</r>");
    EXPECT_EQ(xml.Encoding(), seUTF8);
    EXPECT_EQ(xml.Root().Value(), QStringLiteral("Путь"));

    xml.LoadXML(QByteArray("<r>") + cyrillic1251 + "</r>");
    EXPECT_EQ(xml.Encoding(), seAnsi);
    EXPECT_EQ(xml.CodePage(), platform::ansiCodePage());
    EXPECT_EQ(xml.Root().Value(), platform::decodeCodePage(cyrillic1251, 0));
    EXPECT_EQ(xml.DeclaredEncoding(), QString());
    // without a declaration the text goes back in the code page it came in, named by it
    EXPECT_TRUE(xml.SaveStream(seAuto).startsWith(
        "<?xml version=\"1.0\" encoding=\"" + platform::codePageName(platform::ansiCodePage()).toLatin1() + "\""));
}

TEST(SimpleXmlFiles, AnExplicitEncodingIsNamedInTheDeclarationItWrites)
{
    TExSimpleXML xml;
    xml.Root().SetName(QStringLiteral("r"));
    xml.WriteValue(QStringLiteral("v"), rootPath, QStringLiteral("Путь"));

    const QByteArray ansi = xml.SaveStream(seAnsi, 1251);
    EXPECT_TRUE(ansi.startsWith("<?xml version=\"1.0\" encoding=\"windows-1251\" standalone=\"no\"?>\r\n"));
    TExSimpleXML again;
    again.LoadXML(ansi);
    EXPECT_EQ(again.ReadValue(QStringLiteral("v"), rootPath, QString()), QStringLiteral("Путь"));
    EXPECT_EQ(xml.DeclaredEncoding(), QStringLiteral("UTF-8")) << "the document itself is unchanged";
}

TEST(SimpleXmlFiles, MalformedFileRaisesWithItsTextAndIsLeftAlone)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("malformed"));
    const QString path = folder + QStringLiteral("/system.xml");
    writeBytes(path, "abc");
    TExSimpleXML xml;
    try {
        xml.LoadXMLFile(path);
        FAIL() << "no error raised";
    } catch (const ESimpleXmlExException& error) {
        EXPECT_EQ(error.message(), QStringLiteral("abc"));
        EXPECT_EQ(error.className(), QStringLiteral("ESimpleXmlExException"));
    }
    EXPECT_EQ(xml.FileName(), path);
    EXPECT_FALSE(xml.Root().IsNull()) << "the store stays usable";
    EXPECT_EQ(readFile(path), QByteArray("abc"));
    EXPECT_EQ(entriesOf(folder), QStringList{QStringLiteral("system.xml")});

    // the message is the text decoded by its mark
    writeBytes(path, utf8Bom + "<r>Путь");
    try {
        xml.LoadXMLFile(path);
        FAIL() << "no error raised";
    } catch (const ESimpleXmlExException& error) {
        EXPECT_EQ(error.message(), QStringLiteral("<r>Путь"));
    }
}

TEST(SimpleXmlFiles, SaveFailuresRaiseTheFileCreationError)
{
    const QString folder = sandbox::freshFolder(QStringLiteral("blocked"));
    writeBytes(folder + QStringLiteral("/blocker"), "a file, not a folder");
    const QString path = folder + QStringLiteral("/blocker/sub/Core.xml");
    TExSimpleXML xml;
    xml.LoadXMLFile(path);
    try {
        xml.SaveXMLFile();
        FAIL() << "no error raised";
    } catch (const EFCreateError& error) {
        EXPECT_TRUE(error.message().startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path)))
            << error.message().toStdString();
    }

    TExSimpleXML unbound;
    try {
        unbound.SaveXMLFile();
        FAIL() << "no error raised";
    } catch (const EFCreateError& error) {
        EXPECT_TRUE(error.message().startsWith(QStringLiteral("Cannot create file \"\". ")));
    }
}

TEST(SimpleXmlFiles, StreamsAreFreedOnlyWhenAskedAndAfterASuccessfulLoad)
{
    TExSimpleXML xml;
    EXPECT_FALSE(xml.LoadXML(nullptr, true));

    QPointer<QBuffer> freed = new QBuffer;
    freed->setData("<r><a>1</a></r>");
    EXPECT_TRUE(xml.LoadXML(freed.data(), true));
    EXPECT_TRUE(freed.isNull());
    EXPECT_EQ(ReadElemItemInt(xml.Root(), QStringLiteral("a"), 0), 1);

    QPointer<QBuffer> broken = new QBuffer;
    broken->setData("<r><a>");
    EXPECT_THROW(xml.LoadXML(broken.data(), true), EXmlParseError);
    ASSERT_FALSE(broken.isNull()) << "a failed load leaves the stream to the caller";
    delete broken.data();
}

// A home folder may be called o"neil or a<b: whatever the store writes must load
// again with the same values, or be refused before the file is touched.
TEST(SimpleXmlFiles, ValuesThatWouldBreakTheDocumentReadBackUnchangedOrAreRefused)
{
    const QString path = sandbox::freshFolder(QStringLiteral("quotes")) + QStringLiteral("/Core.xml");
    struct Case {
        const char* attribute;
        const char* value;
        QByteArray written;  // the line of <v> in the file; empty: refused
    };
    const QList<Case> cases = {
        {"/home/o\"neil/", "plain", "  <v path='/home/o\"neil/'>plain</v>"},
        {"/home/o'neil/", "a<b", "  <v path=\"/home/o'neil/\"><![CDATA[a<b]]></v>"},
        {"/srv/a<b>/", "x]]>y", "  <v path=\"/srv/a<b>/\">x]]>y</v>"},
        {"it's \"both\"", "plain", ""},
        {"plain", "<tag>]]>", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute + std::string(" / ") + c.value);
        writeBytes(path, "<r/>");
        TExSimpleXML xml;
        ASSERT_TRUE(xml.LoadXMLFile(path));
        xml.WriteProperties(QStringLiteral("v"), QStringLiteral("path"), rootPath, QString::fromUtf8(c.attribute));
        xml.WriteValue(QStringLiteral("v"), rootPath, QString::fromUtf8(c.value));
        if (c.written.isEmpty()) {
            EXPECT_THROW(xml.SaveXMLFile(), EXmlSaveError);
            EXPECT_EQ(readFile(path), QByteArray("<r/>")) << "the old file stays";
            continue;
        }
        xml.SaveXMLFile();
        EXPECT_TRUE(readFile(path).contains(c.written + "\r\n")) << readFile(path).toStdString();
        for (int round = 0; round < 2; ++round) {  // and again after a second save of what was read
            TExSimpleXML again;
            ASSERT_TRUE(again.LoadXMLFile(path));
            EXPECT_EQ(again.ReadProperties(QStringLiteral("v"), QStringLiteral("path"), rootPath, QString()),
                      QString::fromUtf8(c.attribute));
            EXPECT_EQ(again.ReadValue(QStringLiteral("v"), rootPath, QString()), QString::fromUtf8(c.value));
            again.SaveXMLFile();
        }
    }
}

namespace {

QByteArray nested(int depth)
{
    return QByteArray("<a>").repeated(depth) + QByteArray("</a>").repeated(depth);
}

}  // namespace

// Core.xml is saved on a worker thread with a small stack: no depth may overflow it,
// and a document deeper than the store takes is refused when it is loaded.
TEST(SimpleXmlFiles, DeepDocumentsAreRefusedAtLoadAndSavedWithoutRecursion)
{
    TExSimpleXML xml;
    EXPECT_THROW(xml.LoadXML(nested(MaxXmlDepth + 1)), EXmlParseError);
    EXPECT_THROW(xml.LoadXML(nested(100000)), EXmlParseError);
    EXPECT_FALSE(xml.Root().IsNull()) << "the store stays usable";

    const QString path = sandbox::freshFolder(QStringLiteral("deep")) + QStringLiteral("/Core.xml");
    writeBytes(path, nested(20000));
    EXPECT_THROW(xml.LoadXMLFile(path), ESimpleXmlExException);

    xml.LoadXML(nested(MaxXmlDepth));
    QByteArray saved;
    QThread* saver = QThread::create([&] { saved = xml.SaveStream(seUTF8); });
    saver->setStackSize(128 * 1024);
    saver->start();
    ASSERT_TRUE(saver->wait(60000));
    delete saver;
    TExSimpleXML again;
    again.LoadXML(saved);
    EXPECT_EQ(again.SaveStream(seUTF8), saved);
    EXPECT_TRUE(saved.contains("\r\n" + QByteArray(2 * (MaxXmlDepth - 1), ' ') + "<a/>\r\n"));

    // one level more, built in memory, is not written: it would not load again
    TXmlElem deepest = xml.Root();
    while (deepest.ItemCount() > 0)
        deepest = deepest.Item(0);
    deepest.AddItem(QStringLiteral("a"));
    EXPECT_THROW(xml.SaveStream(seUTF8), EXmlSaveError);
}

// The declaration is one set of attributes, read the same way for loading and saving,
// so a plain load and save keeps an 8-bit document's bytes.
TEST(SimpleXmlFiles, DeclarationNamesMatchInAnyCaseOnLoadAndSave)
{
    const QByteArray cyrillic1251("\xCF\xF3\xF2\xFC", 4);  // "Путь"
    for (const char* attribute : {"encoding", "Encoding", "ENCODING"}) {
        SCOPED_TRACE(attribute);
        const QByteArray declaration =
            QByteArray("<?xml version=\"1.0\" ") + attribute + "=\"windows-1251\" standalone=\"no\"?>\r\n";
        TExSimpleXML xml;
        xml.LoadXML(declaration + "<r>" + cyrillic1251 + "</r>\r\n");
        EXPECT_EQ(xml.Root().Value(), QStringLiteral("Путь"));
        EXPECT_EQ(xml.CodePage(), 1251);
        EXPECT_TRUE(xml.SaveStream(seAuto).endsWith("<r>" + cyrillic1251 + "</r>\r\n"));
    }
}
