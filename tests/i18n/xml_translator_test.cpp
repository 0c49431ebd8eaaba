// How a translation document reaches a window: element matching, the value
// conversions, the list kinds, the skip list and single-text lookups.
#include "i18n/xml_translator.h"
#include "translation_fixtures.h"

#include <QBuffer>
#include <QKeySequence>

#include <gtest/gtest.h>

namespace {

QString doc(const char* body)
{
    return QStringLiteral("<?xml version='1.0' encoding='UTF-8'?><Translation>%1</Translation>")
        .arg(QString::fromUtf8(body));
}

QStringList lines(const TVirtualStringList* table) { return table->Lines()->lines(); }

const QMetaObject* controlClass() { return &TTestControl::staticMetaObject; }

}  // namespace

TEST(TXMLTranslator, FindsTheWindowElementAtAnyDepthFirstInDocumentOrder)
{
    const QString text = doc("<Group><mainWINDOW Caption='nested'/></Group><MainWindow Caption='second'/>");
    TTestWindow window;
    TXMLTranslator translator;
    translator.TranslateString(text, &window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("nested"));

    TTestWindow numbered(QStringLiteral("MainWindow_1"));
    translator.Translate(&numbered);
    EXPECT_EQ(numbered.windowTitle(), QStringLiteral("nested"));

    TTestWindow unknown(QStringLiteral("OtherWindow"));
    unknown.setWindowTitle(QStringLiteral("kept"));
    translator.Translate(&unknown);
    EXPECT_EQ(unknown.windowTitle(), QStringLiteral("kept"));
}

// The search walks the document without recursion: a document 100,000 levels deep
// is searched to its bottom.
TEST(TXMLTranslator, FindsElementsAtTheBottomOfAVeryDeepDocument)
{
    const int depth = 100000;
    const QString deep = QStringLiteral("<g>").repeated(depth)
                         + QStringLiteral("<MainWindow Caption='deep'><Item Value='v'/></MainWindow>")
                         + QStringLiteral("</g>").repeated(depth);
    TTestWindow window;
    TXMLTranslator translator;
    translator.TranslateString(doc(deep.toUtf8().constData()), &window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("deep"));
    EXPECT_EQ(translator.Translate(QStringLiteral("MainWindow"), QStringLiteral("item")), QStringLiteral("v"));
    EXPECT_EQ(translator.Translate(QStringLiteral("g"), QStringLiteral("missing")), QString());
}

TEST(TXMLTranslator, WindowsOfTheApplicationAreMatchedByTheRootsChildren)
{
    TTestWindow main;
    TTestWindow dialog(QStringLiteral("Dialog_2"));
    QByteArray bytes = doc("<MainWindow Caption='main'/><Dialog Caption='dialog'/>").toUtf8();
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    TXMLTranslator translator;
    translator.Translate(&stream);
    EXPECT_EQ(main.windowTitle(), QStringLiteral("main"));
    EXPECT_EQ(dialog.windowTitle(), QString()) << "only whole names match below the root";

    translator.TranslateScreenString(doc("<Dialog Caption='screen'/>"));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("screen"));
}

TEST(TXMLTranslator, ComponentNamesStayUntilTheSkipListIsCleared)
{
    const QString text = doc("<MainWindow Name='Renamed' objectName='Renamed'>"
                             "<InstallStrings Name='Other' SetCount='1'/></MainWindow>");
    TTestWindow window;
    TXMLTranslator translator;
    translator.TranslateString(text, &window);
    EXPECT_EQ(window.objectName(), QStringLiteral("MainWindow"));
    EXPECT_EQ(window.InstallStrings->objectName(), QStringLiteral("InstallStrings"));
    EXPECT_EQ(lines(window.InstallStrings), (QStringList{QStringLiteral("0"), QStringLiteral("1")}));

    translator.ClearSkipList();
    translator.Translate(&window);
    EXPECT_EQ(window.objectName(), QStringLiteral("Renamed"));
    EXPECT_EQ(window.InstallStrings->objectName(), QStringLiteral("Other"));
}

TEST(TXMLTranslator, StringListItemsReplaceExistingLinesOnly)
{
    const QString text = doc(
        "<MainWindow><installstrings SETCOUNT='40'><LINES>"
        "<Item Index='40' Value='last'/><Item Index='41' Value='beyond'/><Item Value='no index'/>"
        "<Item Index='-1' Value='negative'/><Item Index='x' Value='not a number'/>"
        "<item index='11' value='Download size: %S Mb\\nDo you want to continue?'/><Item Index='3'/>"
        "</LINES></installstrings></MainWindow>");
    TTestWindow window;
    TXMLTranslator translator;
    translator.TranslateString(text, &window);
    const QStringList result = lines(window.InstallStrings);
    ASSERT_EQ(result.size(), 41);
    EXPECT_EQ(result[40], QStringLiteral("last"));
    EXPECT_EQ(result[11], QStringLiteral("Download size: %S Mb\r\nDo you want to continue?"));
    EXPECT_EQ(result[3], QString());
    EXPECT_EQ(result[39], QStringLiteral("39"));
    EXPECT_EQ(result[0], QStringLiteral("0"));
}

TEST(TXMLTranslator, ACDataSectionReplacesTheWholeList)
{
    const QString text = doc("<MainWindow><Shortcuts SetCount='5'><Lines><![CDATA[one\\ntwo\nthree]]></Lines>"
                             "</Shortcuts></MainWindow>");
    TTestWindow window;
    TXMLTranslator translator;
    translator.SetOnAnalyseSrt([](QString& value) { value.replace(QStringLiteral("three"), QStringLiteral("3")); });
    translator.TranslateString(text, &window);
    EXPECT_EQ(lines(window.Shortcuts), (QStringList{QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("3")}));
}

TEST(TXMLTranslator, EntityReferencesAreDecodedAndABareAmpersandStays)
{
    const QString text =
        doc("<MainWindow Caption='I &accept &amp; &lt;b&gt; &#65;&#x42; &quot;q&quot; &apos; &amp'/>");
    TTestWindow window;
    TXMLTranslator translator;
    translator.TranslateString(text, &window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("I &accept & <b> AB \"q\" ' &amp"));
}

TEST(TXMLTranslator, AnEightBitDocumentIsReadInItsDeclaredCodePage)
{
    QByteArray bytes = QByteArray("<?xml version='1.0' encoding='windows-1251'?><Translation><MainWindow Caption='") +
                       QByteArray("\xD3\xF1\xF2\xE0\xED\xEE\xE2\xEA\xE0") + "'/></Translation>";
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    TTestWindow window;
    TXMLTranslator translator;
    translator.Translate(&stream, &window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Установка"));
}

TEST(TXMLTranslator, AMalformedDocumentRaises)
{
    TTestWindow window;
    TXMLTranslator translator;
    EXPECT_THROW(translator.TranslateString(QStringLiteral("<Translation><M><I>kept?</I></M><MainWindow></Translation>"),
                                            &window),
                 EXmlParseError);
    EXPECT_EQ(translator.Translate(QStringLiteral("M"), QStringLiteral("I")), QString()) << "no half document";
    EXPECT_THROW(translator.Translate(QStringLiteral("/nonexistent/lang.xml"), &window), EInOutError);
}

class TranslatorConversion : public ::testing::Test {
protected:
    void translate(const char* body)
    {
        TXMLTranslator translator;
        translator.SetOnAnalyseSrt([](QString& value) { value.replace(QStringLiteral("$M$"), QStringLiteral("macro")); });
        translator.TranslateString(doc(body), &window);
    }

    TTestWindow window;
    TTestControl* button = new TTestControl(QStringLiteral("Button"), &window);
};

TEST_F(TranslatorConversion, EnumerationsTakeANumberOrAnIdentifierInAnyCase)
{
    button->Align = TTestControl::alClient;
    translate("<MainWindow><Button Align='0'/></MainWindow>");
    EXPECT_EQ(button->Align, TTestControl::alNone);
    translate("<MainWindow><Button Align='1'/></MainWindow>");
    EXPECT_EQ(button->Align, TTestControl::alTop);
    translate("<MainWindow><Button Align='ALBOTTOM'/></MainWindow>");
    EXPECT_EQ(button->Align, TTestControl::alBottom);
    translate("<MainWindow><Button Align='alSideways' Visible='tRUE'/></MainWindow>");
    EXPECT_EQ(button->Align, TTestControl::alBottom) << "an unknown identifier leaves the value";
    EXPECT_TRUE(button->Visible);
    translate("<MainWindow><Button Visible='0'/></MainWindow>");
    EXPECT_FALSE(button->Visible);
}

TEST_F(TranslatorConversion, IntegersSetsAndShortCuts)
{
    translate("<MainWindow><Button Tag='4294967298' ShortCut='Ctrl+Shift+S' Anchors='[akTop, AKRIGHT]'/></MainWindow>");
    EXPECT_EQ(button->Tag, 2) << "64-bit text stored into 32 bits";
    EXPECT_EQ(button->ShortCut, QKeySequence(QStringLiteral("Ctrl+Shift+S"))[0].toCombined());
    EXPECT_EQ(button->Anchors, TTestControl::TAnchors(TTestControl::akTop | TTestControl::akRight));

    translate("<MainWindow><Button Tag='twelve' ShortCut='Nonsense' Anchors='akBottom'/></MainWindow>");
    EXPECT_EQ(button->Tag, -1);
    EXPECT_EQ(button->ShortCut, 0);
    EXPECT_EQ(button->Anchors, TTestControl::TAnchors(TTestControl::akBottom));
    translate("<MainWindow><Button Anchors='akTop,akNowhere'/></MainWindow>");
    EXPECT_EQ(button->Anchors, TTestControl::TAnchors(TTestControl::akBottom)) << "an unknown member leaves the set";
}

TEST_F(TranslatorConversion, StringsArePostProcessedAndOtherKindsIgnored)
{
    translate("<MainWindow><BUTTON caption='a\\nb $M$' ReadOnlyText='x' Ratio='2' Font='x' Unknown='y'/></MainWindow>");
    EXPECT_EQ(button->Caption, QStringLiteral("a\r\nb macro"));
    EXPECT_EQ(button->Ratio, 0.5);
}

TEST_F(TranslatorConversion, AnOwnedComponentComesBeforeAPropertyOfTheSameName)
{
    button->Font = new TTestFont(QString(), button);
    auto* component = new TTestControl(QStringLiteral("font"), button);
    translate("<MainWindow><Button><Font Caption='component'/></Button></MainWindow>");
    EXPECT_EQ(component->Caption, QStringLiteral("component"));
    EXPECT_EQ(button->Font->Caption, QString());
}

TEST_F(TranslatorConversion, ObjectPropertiesTakeAttributesAndPropertyElements)
{
    button->Font = new TTestFont(QString(), button);
    button->Items = new TStrings(button);
    button->Items->Add(QStringLiteral("first"));
    translate("<MainWindow><Button><Font Caption='attr'><Hint>element $M$</Hint><ShortCut>Ctrl+S</ShortCut>"
              "<Tag>12</Tag></Font><Items><Item Index='0' Value='translated'/></Items></Button></MainWindow>");
    EXPECT_EQ(button->Font->Caption, QStringLiteral("attr"));
    EXPECT_EQ(button->Font->Hint, QStringLiteral("element macro"));
    EXPECT_EQ(button->Font->ShortCut, -1) << "a short-cut element is a plain integer";
    EXPECT_EQ(button->Font->Tag, 12);
    EXPECT_EQ((*button->Items)[0], QStringLiteral("translated"));
}

TEST_F(TranslatorConversion, ASkippedClassLosesItsAttributesButNotItsChildren)
{
    button->Font = new TTestFont(QString(), button);
    auto* owned = new TVirtualStringList(button);
    owned->SetName(QStringLiteral("Owned"));
    TXMLTranslator translator;
    translator.SkipClass(controlClass());
    translator.TranslateString(doc("<MainWindow><Button Caption='no'><Owned SetCount='1'/><Font Caption='yes'/>"
                                   "</Button></MainWindow>"),
                               &window);
    EXPECT_EQ(button->Caption, QString());
    EXPECT_EQ(button->Font->Caption, QStringLiteral("yes"));
    EXPECT_EQ(owned->Lines()->Count(), 2);

    TXMLTranslator captions;
    captions.SkipProperty(controlClass(), QStringLiteral("caption"));
    captions.TranslateString(doc("<MainWindow><Button Caption='no' Hint='hint'><Font Caption='no'/></Button></MainWindow>"),
                             &window);
    EXPECT_EQ(button->Caption, QString());
    EXPECT_EQ(button->Hint, QStringLiteral("hint"));
    EXPECT_EQ(button->Font->Caption, QStringLiteral("yes")) << "skipped in the derived class too";
}

TEST(TXMLTranslator, TreeNodesListItemsAndCollectionsByIndex)
{
    TTestWindow window;
    auto* view = new TTestView(QStringLiteral("View"), &window);
    view->Nodes->Add(QStringLiteral("root"));
    view->Nodes->Add(QStringLiteral("child"));
    view->Rows->Add(QStringLiteral("row 0"), {QStringLiteral("a"), QStringLiteral("b")});
    view->Rows->Add(QStringLiteral("row 1"), {QStringLiteral("c")});
    TXMLTranslator translator;
    translator.TranslateString(
        doc("<MainWindow><View>"
            "<Nodes><N Index='1' Value='node\\n1'/><N Index='2' Value='beyond'/><N Value='no index'/></Nodes>"
            "<Rows><R Index='0' Column='0' Value='caption'/><R Index='0' Column='2' Value='second'/>"
            "<R Index='1' Column='2' Value='no such column'/><R Index='1' Value='no column'/></Rows>"
            "<Columns><C Index='1' Caption='col'><Hint>tip</Hint></C><C Caption='no index'/><C Index='2' Caption='x'/>"
            "</Columns><HiddenColumns><C Index='0' Caption='read-only property'/></HiddenColumns>"
            "</View></MainWindow>"),
        &window);
    EXPECT_EQ(view->Nodes->nodes[0]->Text, QStringLiteral("root"));
    EXPECT_EQ(view->Nodes->nodes[1]->Text, QStringLiteral("node\r\n1"));
    EXPECT_EQ(view->Rows->items[0]->Caption, QStringLiteral("caption"));
    EXPECT_EQ(view->Rows->items[0]->SubItems->lines(), (QStringList{QStringLiteral("a"), QStringLiteral("second")}));
    EXPECT_EQ(view->Rows->items[1]->Caption, QStringLiteral("row 1"));
    EXPECT_EQ(view->Rows->items[1]->SubItems->lines(), QStringList{QStringLiteral("c")});
    auto* column0 = static_cast<TTestControl*>(view->Columns->items[0]);
    auto* column1 = static_cast<TTestControl*>(view->Columns->items[1]);
    EXPECT_EQ(column0->Caption, QString());
    EXPECT_EQ(column1->Caption, QStringLiteral("col"));
    EXPECT_EQ(column1->Hint, QStringLiteral("tip"));
}

TEST(TXMLTranslator, SingleTextLookupFallsBackToValueWithoutPostProcessing)
{
    TXMLTranslator translator;
    translator.SetOnAnalyseSrt([](QString& value) { value = QStringLiteral("hooked"); });
    translator.TranslateString(
        doc("<Group><Messages><Greeting Value='unused'>Hello\\n$AppName$</Greeting><Other Value='from value'/>"
            "</Messages></Group>"));
    EXPECT_EQ(translator.Translate(QStringLiteral("messages"), QStringLiteral("GREETING")),
              QStringLiteral("Hello\\n$AppName$"));
    EXPECT_EQ(translator.Translate(QStringLiteral("Messages"), QStringLiteral("Other")), QStringLiteral("from value"));
    EXPECT_EQ(translator.Translate(QStringLiteral("Messages"), QStringLiteral("Missing")), QString());
    EXPECT_EQ(translator.Translate(QStringLiteral("Missing"), QStringLiteral("Greeting")), QString());
}

TEST(TBaseXMLTranslator, SkipAndUnskipInEitherOrder)
{
    TXMLTranslator list;
    TTestControl control;
    TTestFont font;
    EXPECT_TRUE(list.InSkipList(&control, QStringLiteral("name"))) << "component names are skipped from the start";
    EXPECT_FALSE(list.InSkipList(&control));
    EXPECT_FALSE(list.InSkipList(static_cast<const QObject*>(nullptr), QStringLiteral("Name")));

    list.SkipProperty(controlClass(), QStringLiteral("Caption"));
    EXPECT_TRUE(list.InSkipList(&font, QStringLiteral("CAPTION")));
    list.SkipClass(controlClass());
    EXPECT_TRUE(list.InSkipList(controlClass()));
    EXPECT_TRUE(list.InSkipList(&font));
    EXPECT_FALSE(list.InSkipList(controlClass(), QStringLiteral("Caption"))) << "a whole class is no property match";

    list.SkipProperty(controlClass(), QStringLiteral("Hint"));
    EXPECT_TRUE(list.InSkipList(controlClass())) << "the class stays wholly skipped";
    list.UnskipProperty(controlClass(), QStringLiteral("Hint"));
    EXPECT_FALSE(list.InSkipList(controlClass())) << "un-skipping a property of a skipped class drops the entry";

    list.SkipProperty(controlClass(), QStringLiteral("Caption"));
    list.SkipProperty(controlClass(), QStringLiteral("Hint"));
    list.UnskipProperty(controlClass(), QStringLiteral("hint"));
    EXPECT_TRUE(list.InSkipList(controlClass(), QStringLiteral("Caption")));
    EXPECT_FALSE(list.InSkipList(controlClass(), QStringLiteral("Hint")));
    list.UnskipClass(controlClass());
    EXPECT_FALSE(list.InSkipList(controlClass(), QStringLiteral("Caption")));

    list.SkipClass(&TTestFont::staticMetaObject);
    EXPECT_FALSE(list.InSkipList(controlClass())) << "a base class is not skipped with its descendant";
    list.ClearSkipList();
    EXPECT_FALSE(list.InSkipList(&font));
    EXPECT_FALSE(list.InSkipList(&control, QStringLiteral("Name")));
}

TEST(TBaseXMLTranslator, ClassNamesAreFoundThroughTheAncestors)
{
    const TListColumns columns(0);
    EXPECT_TRUE(TBaseXMLTranslator::IsClassNamed(&columns, QStringLiteral("tcollection")));
    EXPECT_TRUE(TBaseXMLTranslator::IsClassNamed(&columns, QStringLiteral("QObject")));
    EXPECT_FALSE(TBaseXMLTranslator::IsClassNamed(&columns, QStringLiteral("TStrings")));
    EXPECT_FALSE(TBaseXMLTranslator::IsClassNamed(static_cast<const QMetaObject*>(nullptr), QStringLiteral("QObject")));
}
