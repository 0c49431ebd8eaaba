#include "i18n/xml_translator.h"

#include "i18n/strings.h"
#include "platform/platform.h"

#include <QApplication>
#include <QFile>
#include <QIODevice>
#include <QKeySequence>
#include <QMetaEnum>
#include <QMetaObject>
#include <QMetaProperty>
#include <QObject>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <optional>

namespace {

// ---- the document ----------------------------------------------------------------

QString nameOf(const pugi::xml_node& node) { return QString::fromUtf8(node.name()); }

bool sameName(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

pugi::xml_attribute findAttribute(const pugi::xml_node& elem, const QString& name)
{
    return TXmlElem(elem).FindProp(name).attribute();
}

QString attributeText(const pugi::xml_node& elem, const QString& name)
{
    return QString::fromUtf8(findAttribute(elem, name).value());
}

// `absent` when there is no such attribute, -1 when its value is not a number.
int attributeInt(const pugi::xml_node& elem, const QString& name, int absent)
{
    const pugi::xml_attribute attr = findAttribute(elem, name);
    if (!attr)
        return absent;
    bool ok = false;
    const int value = QString::fromUtf8(attr.value()).toInt(&ok);
    return ok ? value : -1;
}

QString textOf(const pugi::xml_node& elem) { return QString::fromUtf8(elem.text().get()); }

std::vector<pugi::xml_node> childElements(const pugi::xml_node& elem)
{
    std::vector<pugi::xml_node> result;
    for (pugi::xml_node child : elem.children())
        if (child.type() == pugi::node_element)
            result.push_back(child);
    return result;
}

// The code page named by the XML declaration when it is neither UTF-8 nor UTF-16
// and no byte-order mark says otherwise; 0 for anything pugixml reads by itself.
int declaredEightBitCodePage(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return 0;
    const QString name = DeclaredXmlEncoding(bytes);
    if (name.isEmpty())
        return 0;
    const int codePage = platform::codePageFromName(name);
    return codePage == 65001 || codePage == 1200 || codePage == 1201 ? 0 : codePage;
}

// ---- the published properties ----------------------------------------------------

enum class PropKind { Other, Integer, Enumeration, String, Set, Object };

PropKind kindOf(const QMetaProperty& prop)
{
    if (prop.isFlagType())
        return PropKind::Set;
    if (prop.isEnumType())
        return PropKind::Enumeration;
    const QMetaType type = prop.metaType();
    if (type.flags().testFlag(QMetaType::PointerToQObject))
        return PropKind::Object;
    switch (type.id()) {
    case QMetaType::Bool:  // a two-valued enumeration: False, True
        return PropKind::Enumeration;
    case QMetaType::Int: case QMetaType::UInt: case QMetaType::Short: case QMetaType::UShort:
    case QMetaType::Long: case QMetaType::ULong: case QMetaType::LongLong: case QMetaType::ULongLong:
        return PropKind::Integer;
    case QMetaType::QString:
        return PropKind::String;
    default:
        return PropKind::Other;
    }
}

bool isSimple(PropKind kind) { return kind != PropKind::Other && kind != PropKind::Object; }

// The writable property of that name (any letter case), if the object has one.
std::optional<QMetaProperty> writableProperty(const QObject* obj, const QString& name)
{
    const QMetaObject* meta = obj->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty prop = meta->property(i);
        if (prop.isWritable() && sameName(QString::fromLatin1(prop.name()), name))
            return prop;
    }
    return std::nullopt;
}

QObject* objectValue(const QObject* obj, const QMetaProperty& prop)
{
    return prop.read(obj).value<QObject*>();
}

QObjectList ownedComponents(QObject* obj)
{
    QObjectList owned = obj->children();
    // The application's windows are not its children in Qt, yet they are what it owns.
    if (obj == QCoreApplication::instance() && qobject_cast<QApplication*>(obj)) {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (!owned.contains(window))
                owned.append(window);
    }
    return owned;
}

QObject* findOwnedComponent(QObject* owner, const QString& name)
{
    for (QObject* child : ownedComponents(owner))
        if (!child->objectName().isEmpty() && sameName(child->objectName(), name))
            return child;
    return nullptr;
}

// ---- value conversions -------------------------------------------------------------

qint32 integerFromText(const QString& text)
{
    return static_cast<qint32>(XmlTextToInt(text));
}

int shortCutFromText(const QString& text)
{
    const QKeySequence sequence = QKeySequence::fromString(text, QKeySequence::PortableText);
    if (sequence.isEmpty() || sequence[0].key() == Qt::Key_unknown)
        return 0;
    return sequence[0].toCombined();
}

// The identifier of the enumeration spelt like `text` in any letter case.
std::optional<QByteArray> enumKey(const QMetaEnum& meta, const QString& text)
{
    for (int i = 0; i < meta.keyCount(); ++i)
        if (sameName(QString::fromLatin1(meta.key(i)), text))
            return QByteArray(meta.key(i));
    return std::nullopt;
}

std::optional<int> enumerationFromText(const QMetaProperty& prop, const QString& text)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if ((ok && number != 0) || text == QLatin1String("0"))
        return number;
    if (prop.metaType().id() == QMetaType::Bool) {
        if (sameName(text, QStringLiteral("False")))
            return 0;
        if (sameName(text, QStringLiteral("True")))
            return 1;
        return std::nullopt;
    }
    const QMetaEnum meta = prop.enumerator();
    if (const std::optional<QByteArray> key = enumKey(meta, text))
        return meta.keyToValue(key->constData());
    return std::nullopt;
}

// "[a, b]" or "a,b" in any letter case; nothing when one of them is no identifier of the set.
std::optional<int> setFromText(const QMetaProperty& prop, QString text)
{
    text = text.trimmed();
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    const QMetaEnum meta = prop.enumerator();
    QByteArrayList keys;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const std::optional<QByteArray> key = enumKey(meta, part.trimmed());
        if (!key)
            return std::nullopt;
        keys << *key;
    }
    if (keys.isEmpty())
        return 0;
    bool ok = false;
    const int value = meta.keysToValue(keys.join('|').constData(), &ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

// ---- list-like objects ----------------------------------------------------------------

int countOf(QObject* list)
{
    if (auto* strings = qobject_cast<TStrings*>(list))
        return strings->Count();
    return list->property("Count").toInt();
}

QObject* itemOf(QObject* list, int index)
{
    QObject* item = nullptr;
    QMetaObject::invokeMethod(list, "Item", Qt::DirectConnection, Q_RETURN_ARG(QObject*, item),
                              Q_ARG(int, index));
    return item;
}

// The item an element's "Index" names in `list`; -1 when missing, no number or out of range.
int indexedItem(const pugi::xml_node& elem, QObject* list)
{
    const int index = attributeInt(elem, QStringLiteral("Index"), -1);
    return index >= 0 && index < countOf(list) ? index : -1;
}

void putLine(QObject* list, int index, const QString& line)
{
    if (auto* strings = qobject_cast<TStrings*>(list))
        strings->Put(index, line);
}

}  // namespace

// ==== TBaseXMLTranslator ===================================================================

TBaseXMLTranslator::TBaseXMLTranslator()
{
    SkipProperty(&QObject::staticMetaObject, QStringLiteral("Name"));
    // Qt publishes the component name a second time
    SkipProperty(&QObject::staticMetaObject, QStringLiteral("objectName"));
}

TBaseXMLTranslator::~TBaseXMLTranslator() = default;

void TBaseXMLTranslator::SkipClass(const QMetaObject* AClass) { SkipProperty(AClass, QString()); }

void TBaseXMLTranslator::SkipProperty(const QMetaObject* AClass, const QString& PropName)
{
    if (!FSkipList)
        FSkipList = std::make_unique<SkipList>();
    const auto entry = std::find_if(FSkipList->begin(), FSkipList->end(),
                                     [&](const SkipEntry& e) { return e.cls == AClass; });
    if (entry == FSkipList->end()) {
        FSkipList->push_back({AClass, PropName.isEmpty() ? QStringList() : QStringList{PropName}});
        return;
    }
    if (PropName.isEmpty()) {
        entry->props.clear();
        return;
    }
    // A wholly skipped class stays wholly skipped.
    if (entry->props.isEmpty() || entry->props.contains(PropName, Qt::CaseInsensitive))
        return;
    entry->props.append(PropName);
    std::sort(entry->props.begin(), entry->props.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
}

void TBaseXMLTranslator::UnskipClass(const QMetaObject* AClass) { UnskipProperty(AClass, QString()); }

void TBaseXMLTranslator::UnskipProperty(const QMetaObject* AClass, const QString& PropName)
{
    if (!FSkipList)
        return;
    const auto entry = std::find_if(FSkipList->begin(), FSkipList->end(),
                                    [&](const SkipEntry& e) { return e.cls == AClass; });
    if (entry == FSkipList->end())
        return;
    if (PropName.isEmpty())
        entry->props.clear();
    else
        entry->props.removeIf([&](const QString& p) { return sameName(p, PropName); });
    // An entry without names would mean "the whole class", so it goes.
    if (entry->props.isEmpty())
        FSkipList->erase(entry);
    if (FSkipList->empty())
        FSkipList.reset();
}

void TBaseXMLTranslator::ClearSkipList() { FSkipList.reset(); }

bool TBaseXMLTranslator::InSkipList(const QObject* Obj)
{
    return Obj && InSkipList(Obj->metaObject(), QString());
}

bool TBaseXMLTranslator::InSkipList(const QMetaObject* AClass) { return InSkipList(AClass, QString()); }

bool TBaseXMLTranslator::InSkipList(const QObject* Obj, const QString& PropName)
{
    return Obj && InSkipList(Obj->metaObject(), PropName);
}

bool TBaseXMLTranslator::InSkipList(const QMetaObject* AClass, const QString& PropName)
{
    if (!FSkipList || !AClass)
        return false;
    for (auto entry = FSkipList->begin(); entry != FSkipList->end(); ++entry) {
        if (!AClass->inherits(entry->cls))
            continue;
        if (PropName.isEmpty()) {
            if (!entry->props.isEmpty())
                continue;
            // Class queries come in runs for the same classes; keep the hit near the front.
            std::rotate(FSkipList->begin(), entry, entry + 1);
            return true;
        }
        if (entry->props.contains(PropName, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString TBaseXMLTranslator::AnalyseString(const QString& Text) const
{
    QString value = Text;
    value.replace(QLatin1String("\\n"), QLatin1String("\r\n"));
    if (fAnalyseSrt)
        fAnalyseSrt(value);
    return value;
}

bool TBaseXMLTranslator::IsClassNamed(const QMetaObject* AClass, const QString& ClassName)
{
    for (const QMetaObject* meta = AClass; meta; meta = meta->superClass())
        if (sameName(QString::fromLatin1(meta->className()), ClassName))
            return true;
    return false;
}

bool TBaseXMLTranslator::IsClassNamed(const QObject* Obj, const QString& ClassName)
{
    return Obj && IsClassNamed(Obj->metaObject(), ClassName);
}

void TBaseXMLTranslator::LoadFromFile(const QString& FileName)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        throw fileOpenError(FileName, file.errorString());
    LoadFromBuffer(file.readAll());
}

void TBaseXMLTranslator::LoadFromStream(QIODevice* Stream) { LoadFromBuffer(Stream->readAll()); }

void TBaseXMLTranslator::LoadFromString(const QString& S)
{
    // The text is already decoded: hand it over as UTF-16 so that a declared encoding cannot mislead.
    CheckParsed(FXML.load_buffer(S.utf16(), size_t(S.size()) * sizeof(char16_t), pugi::parse_default,
                                 pugi::encoding_utf16));
}

void TBaseXMLTranslator::LoadFromBuffer(const QByteArray& bytes)
{
    // pugixml itself knows the Unicode forms only; a document declared in an
    // 8-bit code page is decoded here.
    const int codePage = declaredEightBitCodePage(bytes);
    if (codePage != 0) {
        LoadFromString(platform::decodeCodePage(bytes, codePage));
        return;
    }
    // pugixml decodes the five predefined entities and character references and
    // keeps any other "&" literally, which accelerator marks such as "&accept" need.
    CheckParsed(FXML.load_buffer(bytes.constData(), size_t(bytes.size()), pugi::parse_default, pugi::encoding_auto));
}

void TBaseXMLTranslator::CheckParsed(const pugi::xml_parse_result& result)
{
    if (result)
        return;
    // pugixml keeps what it read before the error; a half document must not be used.
    FXML.reset();
    throw EXmlParseError(
        QStringLiteral("%1 (offset %2)").arg(QString::fromUtf8(result.description())).arg(result.offset));
}

// ==== TCustomXMLTranslator ================================================================

pugi::xml_node TCustomXMLTranslator::FindElement(pugi::xml_node Parent, const QString& Name, bool Recursive)
{
    if (!Parent)
        Parent = FXML.document_element();
    if (!Parent)
        return {};
    if (sameName(nameOf(Parent), Name))
        return Parent;
    const auto named = [&Name](const pugi::xml_node& node) {
        return node.type() == pugi::node_element && sameName(nameOf(node), Name);
    };
    // find_node walks the descendants parent before children without recursion, so
    // no depth of document can exhaust the stack.
    return Recursive ? Parent.find_node(named) : Parent.find_child(named);
}

void TCustomXMLTranslator::TranslateComponent(QObject* Obj, pugi::xml_node Elem)
{
    if (!InSkipList(Obj))
        TranslateAttributes(Obj, Elem);
    for (pugi::xml_node child : childElements(Elem)) {
        if (QObject* owned = findOwnedComponent(Obj, nameOf(child)))
            TranslateComponent(owned, child);
        else
            TranslateObjectProperty(Obj, child);
    }
}

// A child element of a component element that names one of its object properties.
void TCustomXMLTranslator::TranslateObjectProperty(QObject* Obj, pugi::xml_node Elem)
{
    const QString name = nameOf(Elem);
    const std::optional<QMetaProperty> prop = writableProperty(Obj, name);
    if (!prop || InSkipList(Obj, name) || kindOf(*prop) != PropKind::Object)
        return;
    QObject* target = objectValue(Obj, *prop);
    if (!target)
        return;
    if (IsClassNamed(target, QStringLiteral("TStrings"))) {
        TranslateStrings(target, Elem);
    } else if (IsClassNamed(target, QStringLiteral("TTreeNodes"))) {
        TranslateTreeNodes(target, Elem);
    } else if (IsClassNamed(target, QStringLiteral("TListItems"))) {
        TranslateListItems(target, Elem);
    } else {
        TranslateAttributes(target, Elem);
        TranslateProperties(target, Elem);
    }
}

void TCustomXMLTranslator::TranslateAttributes(QObject* Obj, pugi::xml_node Elem)
{
    if (!Obj)
        return;
    for (pugi::xml_attribute attr : Elem.attributes())
        SetFromText(Obj, QString::fromUtf8(attr.name()), QString::fromUtf8(attr.value()), true);
}

void TCustomXMLTranslator::TranslateProperties(QObject* Obj, pugi::xml_node Elem)
{
    if (!Obj)
        return;
    if (IsClassNamed(Obj, QStringLiteral("TCollection"))) {
        TranslateCollection(Obj, Elem);
        return;
    }
    for (pugi::xml_node child : childElements(Elem)) {
        const QString name = nameOf(child);
        const std::optional<QMetaProperty> prop = writableProperty(Obj, name);
        if (!prop || InSkipList(Obj, name))
            continue;
        const PropKind kind = kindOf(*prop);
        if (isSimple(kind)) {
            SetFromText(Obj, name, textOf(child), false);
        } else if (kind == PropKind::Object) {
            QObject* target = objectValue(Obj, *prop);
            TranslateAttributes(target, child);
            TranslateProperties(target, child);
        }
    }
}

void TCustomXMLTranslator::TranslateCollection(QObject* Coll, pugi::xml_node Elem)
{
    for (pugi::xml_node child : childElements(Elem)) {
        const int index = indexedItem(child, Coll);
        if (index < 0)
            continue;
        QObject* item = itemOf(Coll, index);
        TranslateAttributes(item, child);
        TranslateProperties(item, child);
    }
}

void TCustomXMLTranslator::TranslateStrings(QObject* List, pugi::xml_node Elem)
{
    const pugi::xml_node first = Elem.first_child();
    if (first.type() == pugi::node_cdata) {
        if (auto* strings = qobject_cast<TStrings*>(List))
            strings->SetText(AnalyseString(QString::fromUtf8(first.value())));
        return;
    }
    // Lines are replaced, never added: the list already has its final size.
    for (pugi::xml_node child : childElements(Elem)) {
        if (const int index = indexedItem(child, List); index >= 0)
            putLine(List, index, AnalyseString(attributeText(child, QStringLiteral("Value"))));
    }
}

void TCustomXMLTranslator::TranslateTreeNodes(QObject* Nodes, pugi::xml_node Elem)
{
    for (pugi::xml_node child : childElements(Elem)) {
        const int index = indexedItem(child, Nodes);
        if (index < 0)
            continue;
        if (QObject* node = itemOf(Nodes, index))
            node->setProperty("Text", AnalyseString(attributeText(child, QStringLiteral("Value"))));
    }
}

void TCustomXMLTranslator::TranslateListItems(QObject* Items, pugi::xml_node Elem)
{
    for (pugi::xml_node child : childElements(Elem)) {
        const int index = indexedItem(child, Items);
        if (index < 0)
            continue;
        QObject* item = itemOf(Items, index);
        const int column = attributeInt(child, QStringLiteral("Column"), INT_MAX);
        if (!item || column < 0)
            continue;
        const QString value = AnalyseString(attributeText(child, QStringLiteral("Value")));
        if (column == 0) {
            item->setProperty("Caption", value);
            continue;
        }
        auto* subItems = item->property("SubItems").value<TStrings*>();
        if (subItems && column - 1 < subItems->Count())
            subItems->Put(column - 1, value);
    }
}

void TCustomXMLTranslator::SetFromText(QObject* Obj, const QString& PropName, const QString& Text,
                                       bool FromAttribute)
{
    const std::optional<QMetaProperty> prop = writableProperty(Obj, PropName);
    if (!prop || InSkipList(Obj, PropName))
        return;
    std::optional<QVariant> value;
    switch (kindOf(*prop)) {
    case PropKind::Integer:
        if (FromAttribute && qstrcmp(prop->name(), "ShortCut") == 0)
            value = shortCutFromText(Text);
        else
            value = integerFromText(Text);
        break;
    case PropKind::Enumeration:
        if (const std::optional<int> ordinal = enumerationFromText(*prop, Text))
            value = prop->metaType().id() == QMetaType::Bool ? QVariant(*ordinal != 0) : QVariant(*ordinal);
        break;
    case PropKind::String:
        value = AnalyseString(Text);
        break;
    case PropKind::Set:
        if (const std::optional<int> bits = setFromText(*prop, Text))
            value = *bits;
        break;
    default:
        break;
    }
    if (value)
        prop->write(Obj, *value);
}

// ==== TXMLTranslator ======================================================================

void TXMLTranslator::Translate(const QString& FileName)
{
    LoadFromFile(FileName);
    TranslateApplication();
}

void TXMLTranslator::Translate(QIODevice* Stream)
{
    LoadFromStream(Stream);
    TranslateApplication();
}

void TXMLTranslator::Translate(const QString& FileName, QObject* Form)
{
    LoadFromFile(FileName);
    Translate(Form);
}

void TXMLTranslator::Translate(QIODevice* Stream, QObject* Form)
{
    LoadFromStream(Stream);
    Translate(Form);
}

void TXMLTranslator::Translate(QObject* Form)
{
    if (!Form)
        return;
    const QString baseName = Form->objectName().section(QLatin1Char('_'), 0, 0);
    if (pugi::xml_node elem = FindElement({}, baseName, true))
        TranslateComponent(Form, elem);
}

void TXMLTranslator::TranslateScreen(const QString& FileName)
{
    LoadFromFile(FileName);
    TranslateAllWindows();
}

void TXMLTranslator::TranslateScreen(QIODevice* Stream)
{
    LoadFromStream(Stream);
    TranslateAllWindows();
}

void TXMLTranslator::TranslateScreenString(const QString& S)
{
    LoadFromString(S);
    TranslateAllWindows();
}

void TXMLTranslator::TranslateString(const QString& S)
{
    LoadFromString(S);
    TranslateApplication();
}

void TXMLTranslator::TranslateString(const QString& S, QObject* Form)
{
    LoadFromString(S);
    Translate(Form);
}

QString TXMLTranslator::Translate(const QString& Category, const QString& Item)
{
    const pugi::xml_node category = FindElement({}, Category, true);
    if (!category)
        return {};
    const pugi::xml_node item = FindElement(category, Item, true);
    if (!item)
        return {};
    const QString text = textOf(item);
    return text.isEmpty() ? attributeText(item, QStringLiteral("Value")) : text;
}

void TXMLTranslator::TranslateApplication()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        TranslateComponent(app, FXML.document_element());
}

void TXMLTranslator::TranslateAllWindows()
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isWindow())
            Translate(window);
}
