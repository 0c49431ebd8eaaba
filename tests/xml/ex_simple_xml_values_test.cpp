// The store's values: paths, defaults that are added, text forms, case-insensitive names.
#include "xml/ex_simple_xml.h"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

namespace {

const QStringList rootPath;

// A store holding `text` (UTF-8, no declaration needed).
std::unique_ptr<TExSimpleXML> storeOf(const char* text)
{
    auto xml = std::make_unique<TExSimpleXML>();
    xml->LoadXML(QByteArray(text));
    return xml;
}

// The document's text without the declaration line.
QString body(const TExSimpleXML& xml)
{
    const QString text = QString::fromUtf8(xml.SaveStream(seUTF8).mid(3));
    return text.mid(text.indexOf(QLatin1String("\r\n")) + 2);
}

}  // namespace

// A text literal must never pick the Boolean overload, nor 0 be ambiguous.
static_assert(std::is_same_v<decltype(std::declval<TExSimpleXML&>().ReadValue("a", {}, "x")), QString>);
static_assert(std::is_same_v<decltype(std::declval<TExSimpleXML&>().ReadValue("a", {}, 0)), qint64>);
static_assert(std::is_same_v<decltype(std::declval<TExSimpleXML&>().ReadValue("a", {}, false)), bool>);
static_assert(std::is_same_v<decltype(std::declval<TExSimpleXML&>().ReadProperties("a", "b", {}, 0)), qint64>);

TEST(SimpleXmlValues, ReadingAMissingValueAddsItWithTheDefault)
{
    TExSimpleXML xml;
    EXPECT_EQ(xml.ReadValue(QStringLiteral("lang"), {QStringLiteral("global")}, QStringLiteral("en_GB")),
              QStringLiteral("en_GB"));
    EXPECT_EQ(body(xml), QStringLiteral("  <global>\r\n    <lang>en_GB</lang>\r\n  </global>\r\n"));

    // present now: the stored value wins over another default
    EXPECT_EQ(xml.ReadValue(QStringLiteral("LANG"), {QStringLiteral("Global")}, QStringLiteral("ru_RU")),
              QStringLiteral("en_GB"));
    EXPECT_EQ(xml.ReadValue(QStringLiteral("count"), rootPath, qint64(-7)), -7);
    EXPECT_TRUE(xml.ReadValue(QStringLiteral("flag"), rootPath, true));
    EXPECT_EQ(ReadElemItem(xml.Root(), QStringLiteral("count"), QString()), QStringLiteral("-7"));
    EXPECT_EQ(ReadElemItem(xml.Root(), QStringLiteral("flag"), QString()), QStringLiteral("True"));
}

TEST(SimpleXmlValues, ReadPropertiesReadsIntegersAndAddsMissingAttributes)
{
    auto xml = storeOf("<r><size bytes=\"12345\"/></r>");
    EXPECT_EQ(xml->ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), rootPath, 0), 12345);

    xml = storeOf("<r><size bytes=\"x12\"/></r>");
    EXPECT_EQ(xml->ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), rootPath, 0), -1);

    xml = storeOf("<r><size fileCount=\"3\"/></r>");
    EXPECT_EQ(xml->ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), rootPath, 0), 0);
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <size fileCount=\"3\" bytes=\"0\"/>\r\n</r>\r\n"));

    // neither child nor attribute: both are added
    xml = storeOf("<r/>");
    EXPECT_EQ(xml->ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), rootPath, qint64(1) << 40),
              qint64(1) << 40);
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <size bytes=\"1099511627776\"/>\r\n</r>\r\n"));

    // attribute names match in any case
    xml = storeOf("<r><Size BYTES=\"5\"/></r>");
    EXPECT_EQ(xml->ReadProperties(QStringLiteral("size"), QStringLiteral("bytes"), rootPath, 0), 5);
}

TEST(SimpleXmlValues, TextFormsOfIntegersAndBooleans)
{
    const std::pair<const char*, qint64> numbers[] = {{"12", 12}, {"-42", -42}, {"", -1}, {"12a", -1},
                                                      {"x12", -1}, {"9223372036854775807", 9223372036854775807LL}};
    for (const auto& [text, number] : numbers)
        EXPECT_EQ(XmlTextToInt(QString::fromLatin1(text)), number) << text;

    const std::pair<const char*, bool> booleans[] = {{"1", true}, {"yes", false}, {"TRUE", true}, {"false", false},
                                                     {"0", false}, {"-3", true}, {"", false}, {"1.5", true},
                                                     {"0.0", false}, {"1e3", true}, {"-0", false},
                                                     {"nan", false}, {"NaN", false}, {"inf", false},
                                                     {"-inf", false}, {"infinity", false}, {"1e999", false}};
    for (const auto& [text, truth] : booleans)
        EXPECT_EQ(XmlTextToBool(QString::fromLatin1(text)), truth) << text;

    auto xml = storeOf("<r><a>1</a><b>yes</b></r>");
    EXPECT_TRUE(xml->ReadValue(QStringLiteral("a"), rootPath, false));
    EXPECT_FALSE(xml->ReadValue(QStringLiteral("b"), rootPath, true));

}

TEST(SimpleXmlValues, PathsMatchInAnyCaseTakeTheFirstMatchAndCreateMissingSteps)
{
    auto xml = storeOf("<r><A><b>first</b></A><a><b>second</b></a></r>");
    EXPECT_EQ(xml->ReadValue(QStringLiteral("B"), {QStringLiteral("a")}, QString()), QStringLiteral("first"));

    const TXmlElem made = xml->GetItem({QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("y")});
    EXPECT_EQ(made.Name(), QStringLiteral("y"));
    EXPECT_EQ(xml->GetItem({QStringLiteral("A"), QStringLiteral("X"), QStringLiteral("Y")}), made);
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <A>\r\n    <b>first</b>\r\n    <x>\r\n      <y/>\r\n"
                                         "    </x>\r\n  </A>\r\n  <a>\r\n    <b>second</b>\r\n  </a>\r\n</r>\r\n"));
    EXPECT_EQ(xml->GetItem({}), xml->Root());
}

TEST(SimpleXmlValues, ElementOperations)
{
    auto xml = storeOf("<r k=\"old\"><Version>16</Version><number>abc</number><big>4294967297</big></r>");
    const TXmlElem root = xml->Root();

    EXPECT_EQ(ReadElemItemInt(root, QStringLiteral("version"), 0), 16);
    EXPECT_EQ(ReadElemItemInt(root, QStringLiteral("number"), 0), -1) << "present but not a number";
    EXPECT_EQ(ReadElemItemInt(root, QStringLiteral("missing"), 7), 7);
    EXPECT_EQ(ReadElemItemInt(root, QStringLiteral("big"), 0), 1) << "cut to the low 32 bits";
    EXPECT_EQ(ReadElemItem(root, QStringLiteral("VERSION"), QString()), QStringLiteral("16"));
    EXPECT_EQ(ReadElemProperty(root, QStringLiteral("K"), QStringLiteral("d")), QStringLiteral("old"));
    EXPECT_EQ(ReadElemProperty(root, QStringLiteral("none"), QStringLiteral("d")), QStringLiteral("d"));

    // the readers add nothing
    EXPECT_EQ(root.ItemCount(), 3);
    EXPECT_EQ(root.PropCount(), 1);

    EXPECT_EQ(ForceElemProperty(root, QStringLiteral("K")).Value(), QStringLiteral("old"));
    EXPECT_EQ(WriteElemProperty(WriteElemProperty(root, QStringLiteral("path"), QStringLiteral("/opt/v/")),
                                QStringLiteral("k"), QStringLiteral("new")),
              root);
    ForceElemProperty(root, QStringLiteral("hid"));
    QStringList attributes;
    for (const TXmlProp& prop : root.Props())
        attributes << prop.Name() + QLatin1Char('=') + prop.Value();
    EXPECT_EQ(attributes, QStringList({QStringLiteral("k=new"), QStringLiteral("path=/opt/v/"), QStringLiteral("hid=")}));
}

TEST(SimpleXmlValues, StringLists)
{
    auto xml = storeOf("<r><list>text<a>1</a><!-- note --><b>2</b><![CDATA[skipped]]><a>3</a></list></r>");
    QStringList values{QStringLiteral("kept")};
    EXPECT_TRUE(xml->ReadStringList(QStringLiteral("LIST"), rootPath, values));
    EXPECT_EQ(values, QStringList({QStringLiteral("kept"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));

    QStringList untouched{QStringLiteral("x")};
    EXPECT_FALSE(xml->ReadStringList(QStringLiteral("langs"), {QStringLiteral("global")}, untouched));
    EXPECT_EQ(untouched, QStringList{QStringLiteral("x")});
    EXPECT_TRUE(xml->GetItem({QStringLiteral("global"), QStringLiteral("langs")}).Items().isEmpty());

    xml->WriteStringList(QStringLiteral("list"), QStringLiteral("item"), rootPath,
                         QStringList{QStringLiteral("4"), QStringLiteral("5")}, true);
    xml->WriteStringList(QStringLiteral("list"), QStringLiteral("item"), rootPath, QStringList{QStringLiteral("6")},
                         false);
    xml->WriteStringList(QStringLiteral("other"), QStringLiteral("item"), rootPath, nullptr, true);
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <list>\r\n    <item>4</item>\r\n    <item>5</item>\r\n"
                                         "    <item>6</item>\r\n  </list>\r\n  <global>\r\n    <langs/>\r\n"
                                         "  </global>\r\n  <other/>\r\n</r>\r\n"));

    // clearing removes the items only; the element's own text stays
    xml = storeOf("<r><list>own text<a>1</a></list></r>");
    xml->WriteStringList(QStringLiteral("list"), QStringLiteral("item"), rootPath, nullptr, true);
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <list>own text</list>\r\n</r>\r\n"));
}

TEST(SimpleXmlValues, WritingAValueHeldAsCDataReplacesIt)
{
    auto xml = storeOf("<r><path><![CDATA[old]]></path></r>");
    EXPECT_EQ(xml->ReadValue(QStringLiteral("path"), rootPath, QString()), QStringLiteral("old"));
    xml->WriteValue(QStringLiteral("path"), rootPath, QStringLiteral("new"));
    EXPECT_EQ(body(*xml), QStringLiteral("<r>\r\n  <path>new</path>\r\n</r>\r\n"));
}

TEST(SimpleXmlValues, DomAccessForCallersThatBuildDocuments)
{
    TExSimpleXML xml;
    TXmlElem root = xml.Root();
    root.SetName(QStringLiteral("List"));
    root.AddItem(QStringLiteral("lang"), QStringLiteral("2057")).AddProp(QStringLiteral("id"), QStringLiteral("en_GB"));
    root.AddItem(QStringLiteral("lang"), QStringLiteral("1049")).AddProp(QStringLiteral("id"), QStringLiteral("ru_RU"));

    ASSERT_EQ(root.ItemCount(), 2);
    EXPECT_EQ(root.Item(1).PropValue(QStringLiteral("ID")), QStringLiteral("ru_RU"));
    EXPECT_EQ(root.Item(1).IntValue(), 1049);
    EXPECT_TRUE(root.Item(2).IsNull());
    EXPECT_EQ(root.ItemNamed(QStringLiteral("LANG")).Value(), QStringLiteral("2057"));
    EXPECT_EQ(body(xml), QStringLiteral("<List>\r\n  <lang id=\"en_GB\">2057</lang>\r\n"
                                        "  <lang id=\"ru_RU\">1049</lang>\r\n</List>\r\n"));

    // an element with items does not write its value; an empty value gives the short form
    root.Item(0).SetValue(QString());
    root.SetValue(QStringLiteral("hidden"));
    EXPECT_EQ(body(xml), QStringLiteral("<List>\r\n  <lang id=\"en_GB\"/>\r\n"
                                        "  <lang id=\"ru_RU\">1049</lang>\r\n</List>\r\n"));
}
