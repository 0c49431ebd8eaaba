#include "xml/ex_simple_xml.h"

#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <vector>

namespace {

const QByteArray utf8Bom("\xEF\xBB\xBF", 3);
const QByteArray utf16LeBom("\xFF\xFE", 2);

// Entity references are left alone (no parse_escapes): values are stored verbatim,
// and a bare "&" is ordinary text. White space around a value is not part of it.
constexpr unsigned parseOptions = pugi::parse_cdata | pugi::parse_eol | pugi::parse_declaration |
                                  pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype |
                                  pugi::parse_trim_pcdata;

QString fromUtf8(const char* text) { return QString::fromUtf8(text); }
QByteArray utf8(const QString& text) { return text.toUtf8(); }

bool sameName(const char* stored, const QString& wanted)
{
    return QString::compare(fromUtf8(stored), wanted, Qt::CaseInsensitive) == 0;
}

pugi::xml_node firstChildOfType(pugi::xml_node parent, pugi::xml_node_type type)
{
    for (pugi::xml_node child : parent.children())
        if (child.type() == type)
            return child;
    return {};
}

pugi::xml_attribute findAttribute(pugi::xml_node node, const QString& name)
{
    for (pugi::xml_attribute attr : node.attributes())
        if (sameName(attr.name(), name))
            return attr;
    return {};
}

// ---- encodings ---------------------------------------------------------------

QString codePageLabel(quint16 codePage)
{
    if (codePage == CodePageUtf8)
        return QStringLiteral("UTF-8");
    if (codePage == CodePageUtf16)
        return QStringLiteral("UTF-16");
    return platform::codePageName(codePage);
}

QString decodeUtf16Le(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf16LE);
    return decoder.decode(bytes);
}


struct DecodedText {
    QString text;
    TStringEncoding encoding;
    quint16 codePage;
};

std::optional<DecodedText> decodeByMark(const QByteArray& bytes)
{
    if (bytes.startsWith(utf8Bom))
        return DecodedText{QString::fromUtf8(bytes.mid(utf8Bom.size())), seUTF8, CodePageUtf8};
    if (bytes.startsWith(utf16LeBom))
        return DecodedText{decodeUtf16Le(bytes.mid(utf16LeBom.size())), seUTF16, CodePageUtf16};
    return std::nullopt;
}

// A byte-order mark decides; without one the declaration's encoding applies, and
// the system's 8-bit code page when it names none (or one we do not know).
DecodedText decodeDocument(const QByteArray& bytes)
{
    if (const std::optional<DecodedText> marked = decodeByMark(bytes))
        return *marked;
    const int named = platform::codePageFromName(DeclaredXmlEncoding(bytes));
    if (named == CodePageUtf8)
        return {QString::fromUtf8(bytes), seUTF8, CodePageUtf8};
    // A declaration we could read byte by byte cannot start UTF-16 text; read it as
    // UTF-8 (which covers its ASCII) but keep the encoding it asks for.
    if (named == CodePageUtf16)
        return {QString::fromUtf8(bytes), seUTF16, CodePageUtf16};
    const quint16 codePage = named > 0 && named <= 0xFFFF ? quint16(named) : platform::ansiCodePage();
    return {platform::decodeCodePage(bytes, codePage), seAnsi, codePage};
}

QByteArray encodeText(const QString& text, TStringEncoding encoding, quint16 codePage)
{
    switch (encoding) {
    case seUTF8:
        return utf8Bom + text.toUtf8();
    case seUTF16: {
        QStringEncoder encoder(QStringEncoder::Utf16LE);
        return utf16LeBom + QByteArray(encoder.encode(text));
    }
    default:
        return platform::encodeCodePage(text, codePage);
    }
}

// The whole file as text for an error message: by its byte-order mark, else 8-bit.
QString fileText(const QByteArray& bytes)
{
    if (const std::optional<DecodedText> marked = decodeByMark(bytes))
        return marked->text;
    return platform::decodeCodePage(bytes, 0);
}

// ---- output --------------------------------------------------------------------

void appendLine(QString& out, int level, const QString& text)
{
    out += QString(level * 2, QLatin1Char(' '));
    out += text;
    out += QLatin1String("\r\n");
}

// Double quotes as usual; single quotes for a value that holds a double quote, so
// that it loads again unchanged (entity references would load as literal text).
QString attributeText(pugi::xml_attribute attr)
{
    const QString name = fromUtf8(attr.name());
    const QString value = fromUtf8(attr.value());
    QChar quote = QLatin1Char('"');
    if (value.contains(quote)) {
        quote = QLatin1Char('\'');
        if (value.contains(quote))
            throw EXmlSaveError(QStringLiteral("The value of the attribute \"%1\" holds both kinds of quote "
                                               "and cannot be stored: %2").arg(name, value));
    }
    return QLatin1Char(' ') + name + QLatin1Char('=') + quote + value + quote;
}

QString attributesText(pugi::xml_node node)
{
    QString text;
    for (pugi::xml_attribute attr : node.attributes())
        text += attributeText(attr);
    return text;
}

// A value holding "<" would read as markup; as a CDATA section it reads back unchanged.
QString elementValueText(const QString& name, const QString& value)
{
    if (!value.contains(QLatin1Char('<')))
        return value;
    if (value.contains(QLatin1String("]]>")))
        throw EXmlSaveError(QStringLiteral("The value of the element \"%1\" holds both \"<\" and \"]]>\" "
                                           "and cannot be stored: %2").arg(name, value));
    return QStringLiteral("<![CDATA[%1]]>").arg(value);
}

void writeLeaf(QString& out, pugi::xml_node node, int level)
{
    const QString value = fromUtf8(node.value());
    switch (node.type()) {
    case pugi::node_comment:
        appendLine(out, level, QStringLiteral("<!--%1-->").arg(value));
        break;
    case pugi::node_cdata:
        appendLine(out, level, QStringLiteral("<![CDATA[%1]]>").arg(value));
        break;
    case pugi::node_pi:
        appendLine(out, level, QStringLiteral("<?%1%2?>").arg(fromUtf8(node.name()),
                                                              value.isEmpty() ? QString() : QLatin1Char(' ') + value));
        break;
    case pugi::node_doctype:
        appendLine(out, level, QStringLiteral("<!DOCTYPE %1>").arg(value));
        break;
    default:
        break;  // text is written as its element's value; the declaration comes first on its own
    }
}

// An item still to be written, or (with a closing tag) the end of an element.
struct PendingItem {
    TXmlElem item;
    int level = 0;
    QString closeTag;
};

// `level` counts from 0 for the document element, the depth of a loaded document from 1.
void pushItems(std::vector<PendingItem>& stack, const QList<TXmlElem>& items, int level)
{
    if (!items.isEmpty() && level >= MaxXmlDepth)
        throw EXmlSaveError(QStringLiteral("The document is nested deeper than %1 levels.").arg(MaxXmlDepth));
    for (auto it = items.crbegin(); it != items.crend(); ++it)
        stack.push_back({*it, level, QString()});
}

// Writes one element; its items go onto the stack instead of into a recursion, so
// that no depth of document can exhaust the thread's stack.
void writeElement(QString& out, std::vector<PendingItem>& stack, TXmlElem elem, int level)
{
    const QList<TXmlElem> items = elem.Items();
    const QString name = elem.Name();
    if (name.isEmpty()) {
        pushItems(stack, items, level + 1);
        return;
    }
    const QString open = QLatin1Char('<') + name + attributesText(elem.node());
    const QString close = QStringLiteral("</%1>").arg(name);
    if (!items.isEmpty()) {
        appendLine(out, level, open + QLatin1Char('>'));
        stack.push_back({TXmlElem(), level, close});
        pushItems(stack, items, level + 1);
    } else if (const QString value = elem.Value(); !value.isEmpty()) {
        appendLine(out, level, open + QLatin1Char('>') + elementValueText(name, value) + close);
    } else {
        appendLine(out, level, open + QLatin1String("/>"));
    }
}

void writeTree(QString& out, TXmlElem top)
{
    std::vector<PendingItem> stack{{top, 0, QString()}};
    while (!stack.empty()) {
        const PendingItem next = std::move(stack.back());
        stack.pop_back();
        if (!next.closeTag.isEmpty())
            appendLine(out, next.level, next.closeTag);
        else if (next.item.IsElement())
            writeElement(out, stack, next.item, next.level);
        else
            writeLeaf(out, next.item.node(), next.level);
    }
}

// The deepest nesting below `top`, walked without recursion.
int depthOf(pugi::xml_node top)
{
    int depth = 0;
    int deepest = 0;
    pugi::xml_node node = top.first_child();
    while (node && node != top) {
        ++depth;
        deepest = std::max(deepest, depth);
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        --depth;
        while (node != top && !node.next_sibling()) {
            node = node.parent();
            --depth;
        }
        if (node != top)
            node = node.next_sibling();
    }
    return deepest;
}

void writeFileSafely(const QString& fileName, const QByteArray& bytes)
{
    if (fileName.isEmpty())
        throw fileCreateError(fileName, systemErrorText(ENOENT));
    platform::forceDirectories(QFileInfo(fileName).absolutePath());
    // The old file stays in place until the new text is completely on disk.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw fileCreateError(fileName, file.errorString());
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw fileCreateError(fileName, file.errorString());
}

}  // namespace

QString DeclaredXmlEncoding(const QByteArray& bytes)
{
    // Names match in any letter case, as the store reads the declaration's attributes when it saves.
    static const QRegularExpression declaration(
        QStringLiteral(R"(^\s*<\?xml\s[^>]*?\bencoding\s*=\s*["']([^"']*)["'])"),
        QRegularExpression::CaseInsensitiveOption);
    const qsizetype end = bytes.indexOf("?>");
    const QString head = QString::fromLatin1(bytes.left(end >= 0 ? end : 1024));
    return declaration.match(head).captured(1);
}

// ==== text forms ===================================================================

QString IntToXmlText(qint64 value) { return QString::number(value); }

qint64 XmlTextToInt(const QString& text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return ok ? value : -1;
}

QString BoolToXmlText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

bool XmlTextToBool(const QString& text)
{
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && std::isfinite(number) && number != 0;  // "nan" and "inf" are no numbers here
}

// ==== TXmlProp ========================================================================

QString TXmlProp::Name() const { return fromUtf8(m_attr.name()); }
QString TXmlProp::Value() const { return fromUtf8(m_attr.value()); }
qint64 TXmlProp::IntValue() const { return XmlTextToInt(Value()); }
void TXmlProp::SetValue(const QString& value) { m_attr.set_value(utf8(value).constData()); }

// ==== TXmlElem ========================================================================

QString TXmlElem::Name() const { return IsElement() ? fromUtf8(m_node.name()) : QString(); }

void TXmlElem::SetName(const QString& name) { m_node.set_name(utf8(name).constData()); }

QString TXmlElem::Value() const
{
    if (!IsElement())
        return fromUtf8(m_node.value());
    pugi::xml_node text = firstChildOfType(m_node, pugi::node_pcdata);
    if (!text)
        text = firstChildOfType(m_node, pugi::node_cdata);
    return fromUtf8(text.value());
}

void TXmlElem::SetValue(const QString& value)
{
    if (!IsElement()) {
        m_node.set_value(utf8(value).constData());
        return;
    }
    // a value read from CDATA is replaced too, or the old text would be written again
    while (pugi::xml_node cdata = firstChildOfType(m_node, pugi::node_cdata))
        m_node.remove_child(cdata);
    pugi::xml_node text = firstChildOfType(m_node, pugi::node_pcdata);
    if (value.isEmpty()) {
        for (; text; text = firstChildOfType(m_node, pugi::node_pcdata))
            m_node.remove_child(text);
        return;
    }
    if (!text)
        text = m_node.append_child(pugi::node_pcdata);
    text.set_value(utf8(value).constData());
}

qint64 TXmlElem::IntValue() const { return XmlTextToInt(Value()); }
bool TXmlElem::BoolValue() const { return XmlTextToBool(Value()); }

QList<TXmlElem> TXmlElem::Items() const
{
    QList<TXmlElem> items;
    for (pugi::xml_node child : m_node.children())
        if (child.type() != pugi::node_pcdata)
            items.append(TXmlElem(child));
    return items;
}

int TXmlElem::ItemCount() const { return int(Items().size()); }

TXmlElem TXmlElem::Item(int index) const
{
    const QList<TXmlElem> items = Items();
    return index >= 0 && index < items.size() ? items[index] : TXmlElem();
}

TXmlElem TXmlElem::ItemNamed(const QString& name) const
{
    for (pugi::xml_node child : m_node.children())
        if (child.type() == pugi::node_element && sameName(child.name(), name))
            return TXmlElem(child);
    return {};
}

TXmlElem TXmlElem::AddItem(const QString& name, const QString& value)
{
    TXmlElem item(m_node.append_child(pugi::node_element));
    item.SetName(name);
    item.SetValue(value);
    return item;
}

void TXmlElem::ClearItems()
{
    for (const TXmlElem& item : Items())
        m_node.remove_child(item.node());
}

QList<TXmlProp> TXmlElem::Props() const
{
    QList<TXmlProp> props;
    for (pugi::xml_attribute attr : m_node.attributes())
        props.append(TXmlProp(attr));
    return props;
}

int TXmlElem::PropCount() const { return int(Props().size()); }

TXmlProp TXmlElem::FindProp(const QString& name) const { return TXmlProp(findAttribute(m_node, name)); }

TXmlProp TXmlElem::AddProp(const QString& name, const QString& value)
{
    TXmlProp prop(m_node.append_attribute(utf8(name).constData()));
    prop.SetValue(value);
    return prop;
}

QString TXmlElem::PropValue(const QString& name, const QString& defaultValue) const
{
    const TXmlProp prop = FindProp(name);
    return prop ? prop.Value() : defaultValue;
}

qint64 TXmlElem::PropIntValue(const QString& name, qint64 defaultValue) const
{
    const TXmlProp prop = FindProp(name);
    return prop ? prop.IntValue() : defaultValue;
}

void TXmlElem::ClearProps() { m_node.remove_attributes(); }

// ==== element operations ================================================================

QString ReadElemProperty(TXmlElem elem, const QString& Name, const QString& Default)
{
    return elem.PropValue(Name, Default);
}

int ReadElemItemInt(TXmlElem elem, const QString& Name, int Default)
{
    const TXmlElem item = elem.ItemNamed(Name);
    return item ? int(quint32(quint64(item.IntValue()))) : Default;
}

QString ReadElemItem(TXmlElem elem, const QString& Name, const QString& Default)
{
    const TXmlElem item = elem.ItemNamed(Name);
    return item ? item.Value() : Default;
}

TXmlProp ForceElemProperty(TXmlElem elem, const QString& Name)
{
    const TXmlProp prop = elem.FindProp(Name);
    return prop ? prop : elem.AddProp(Name, QString());
}

TXmlElem WriteElemProperty(TXmlElem elem, const QString& Name, const QString& Value)
{
    ForceElemProperty(elem, Name).SetValue(Value);
    return elem;
}

namespace {

TXmlElem forceItem(TXmlElem elem, const QString& name)
{
    const TXmlElem item = elem.ItemNamed(name);
    return item ? item : elem.AddItem(name);
}

}  // namespace

// ==== TExSimpleXML ========================================================================

TExSimpleXML::TExSimpleXML() { resetToEmpty(); }

pugi::xml_node TExSimpleXML::rootNode() const { return FDocument.document_element(); }

pugi::xml_node TExSimpleXML::declaration() const
{
    for (pugi::xml_node node : FDocument.children())
        if (node.type() == pugi::node_declaration)
            return node;
    return {};
}

QString TExSimpleXML::DeclaredEncoding() const
{
    return fromUtf8(findAttribute(declaration(), QStringLiteral("encoding")).value());
}

void TExSimpleXML::SetDeclaredEncoding(const QString& name)
{
    pugi::xml_node decl = declaration();
    if (!decl) {
        decl = FDocument.prepend_child(pugi::node_declaration);
        decl.append_attribute("version").set_value("1.0");
    }
    WriteElemProperty(TXmlElem(decl), QStringLiteral("encoding"), name);
}

// Keeps the root's name: a store bound to a missing file still knows what it holds.
void TExSimpleXML::resetToEmpty()
{
    const QByteArray rootName = rootNode() ? QByteArray(rootNode().name()) : QByteArray();
    FDocument.reset();
    SetDeclaredEncoding(QStringLiteral("UTF-8"));
    FDocument.append_child(pugi::node_element).set_name(rootName.constData());
    FEncoding = seUTF8;
    FCodePage = CodePageUtf8;
}

void TExSimpleXML::parse(const QByteArray& bytes)
{
    const DecodedText decoded = decodeDocument(bytes);
    FEncoding = decoded.encoding;
    FCodePage = decoded.codePage;
    const QByteArray text = decoded.text.toUtf8();
    const pugi::xml_parse_result result =
        FDocument.load_buffer(text.constData(), size_t(text.size()), parseOptions, pugi::encoding_utf8);
    if (result && depthOf(FDocument) <= MaxXmlDepth)
        return;
    const QString reason =
        result ? QStringLiteral("Document nested deeper than %1 levels").arg(MaxXmlDepth)
               : QStringLiteral("%1 at offset %2").arg(QString::fromUtf8(result.description())).arg(result.offset);
    if (result)
        FDocument.reset();  // a document we refuse is not kept
    if (!rootNode())
        FDocument.append_child(pugi::node_element);
    throw EXmlParseError(reason);
}

bool TExSimpleXML::LoadXMLFile(const QString& AFileName)
{
    FFileName = AFileName;
    if (!QFileInfo(AFileName).isFile()) {
        resetToEmpty();
        return false;
    }
    // Opened for reading only: a descriptor on read-only media must load too.
    QFile file(AFileName);
    if (!file.open(QIODevice::ReadOnly))
        throw fileOpenError(AFileName, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw fileReadError(AFileName, file.errorString());
    try {
        parse(bytes);
    } catch (const EXmlParseError&) {
        throw ESimpleXmlExException(fileText(bytes));
    }
    return true;
}

bool TExSimpleXML::LoadXML(QIODevice* Stream, bool bFreeStream)
{
    if (!Stream)
        return false;
    if (!Stream->isOpen())
        Stream->open(QIODevice::ReadOnly);
    parse(Stream->readAll());
    if (bFreeStream)
        delete Stream;
    return true;
}

void TExSimpleXML::LoadXML(const QByteArray& bytes) { parse(bytes); }

TExSimpleXML::TextEncoding TExSimpleXML::resolveEncoding(TStringEncoding requested, quint16 codePage) const
{
    switch (requested) {
    case seUTF8:
        return {seUTF8, CodePageUtf8};
    case seUTF16:
        return {seUTF16, CodePageUtf16};
    case seAnsi:
        return {seAnsi, codePage ? codePage : platform::ansiCodePage()};
    case seAuto:
        break;
    }
    const QString name = DeclaredEncoding();
    const int named = name.isEmpty() ? 0 : platform::codePageFromName(name);
    if (named == CodePageUtf8)
        return {seUTF8, CodePageUtf8};
    if (named == CodePageUtf16)
        return {seUTF16, CodePageUtf16};
    if (named > 0 && named <= 0xFFFF)
        return {seAnsi, quint16(named)};
    return {FEncoding, FCodePage};
}

// The declaration names the encoding the text is written in: the stored name when
// it says so (or the encoding came from it), otherwise the name of that code page.
QString TExSimpleXML::serialise(const TextEncoding& target, bool nameAsStored) const
{
    const TXmlElem decl(declaration());
    QString version = decl ? decl.PropValue(QStringLiteral("version")) : QString();
    if (version.isEmpty())
        version = QStringLiteral("1.0");
    QString encoding = DeclaredEncoding();
    if (encoding.isEmpty() || (!nameAsStored && platform::codePageFromName(encoding) != target.codePage))
        encoding = codePageLabel(target.codePage);
    const bool standalone = decl && decl.PropValue(QStringLiteral("standalone")).compare(
                                        QLatin1String("yes"), Qt::CaseInsensitive) == 0;

    QString out;
    appendLine(out, 0, QStringLiteral("<?xml version=\"%1\" encoding=\"%2\" standalone=\"%3\"?>")
                           .arg(version, encoding, standalone ? QStringLiteral("yes") : QStringLiteral("no")));
    for (pugi::xml_node node : FDocument.children())
        if (node.type() != pugi::node_declaration)
            writeTree(out, TXmlElem(node));
    return out;
}

QByteArray TExSimpleXML::SaveStream(TStringEncoding Encoding, quint16 CodePage) const
{
    const TextEncoding target = resolveEncoding(Encoding, CodePage);
    return encodeText(serialise(target, Encoding == seAuto), target.encoding, target.codePage);
}

void TExSimpleXML::SaveXMLFile(TStringEncoding AEncoding) { SaveToFile(FFileName, AEncoding); }

void TExSimpleXML::SaveToFile(const QString& fileName, TStringEncoding AEncoding)
{
    const TextEncoding target = resolveEncoding(AEncoding, 0);
    if (AEncoding != seAuto) {
        FEncoding = target.encoding;
        FCodePage = target.codePage;
    }
    writeFileSafely(fileName, SaveStream(AEncoding, 0));
}

TXmlElem TExSimpleXML::GetItem(const QStringList& Path)
{
    TXmlElem elem = Root();
    for (const QString& name : Path)
        elem = forceItem(elem, name);
    return elem;
}

QString TExSimpleXML::ReadValue(const QString& Name, const QStringList& Path, const QString& Default)
{
    TXmlElem elem = GetItem(Path);
    if (const TXmlElem item = elem.ItemNamed(Name))
        return item.Value();
    elem.AddItem(Name, Default);
    return Default;
}

qint64 TExSimpleXML::ReadValue(const QString& Name, const QStringList& Path, qint64 Default)
{
    return XmlTextToInt(ReadValue(Name, Path, IntToXmlText(Default)));
}

void TExSimpleXML::WriteValue(const QString& Name, const QStringList& Path, const QString& Value)
{
    forceItem(GetItem(Path), Name).SetValue(Value);
}

void TExSimpleXML::WriteValue(const QString& Name, const QStringList& Path, qint64 Value)
{
    WriteValue(Name, Path, IntToXmlText(Value));
}

QString TExSimpleXML::ReadProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                                     const QString& Default)
{
    TXmlElem item = forceItem(GetItem(Path), Name);
    if (const TXmlProp prop = item.FindProp(PropName))
        return prop.Value();
    item.AddProp(PropName, Default);
    return Default;
}

qint64 TExSimpleXML::ReadProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                                    qint64 Default)
{
    return XmlTextToInt(ReadProperties(Name, PropName, Path, IntToXmlText(Default)));
}

void TExSimpleXML::WriteProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                                   const QString& Value)
{
    WriteElemProperty(forceItem(GetItem(Path), Name), PropName, Value);
}

void TExSimpleXML::WriteProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                                   qint64 Value)
{
    WriteProperties(Name, PropName, Path, IntToXmlText(Value));
}

bool TExSimpleXML::ReadStringList(const QString& Name, const QStringList& Path, QStringList& List)
{
    TXmlElem elem = GetItem(Path);
    const TXmlElem list = elem.ItemNamed(Name);
    if (!list) {
        elem.AddItem(Name);
        return false;
    }
    for (const TXmlElem& item : list.Items())
        if (item.IsElement())
            List.append(item.Value());
    return true;
}

void TExSimpleXML::WriteStringList(const QString& Name, const QString& ItemName, const QStringList& Path,
                                   const QStringList* List, bool bClear)
{
    TXmlElem list = forceItem(GetItem(Path), Name);
    if (bClear)
        list.ClearItems();
    if (!List)
        return;
    for (const QString& line : *List)
        list.AddItem(ItemName, line);
}
