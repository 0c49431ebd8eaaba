#pragma once
// A small XML store for configuration-like documents: named elements with a text
// value and attributes, addressed by a path of element names. Reading a value that
// is missing adds it with the caller's default, and the store saves back to the
// file it was loaded from.
//
// Values are kept verbatim: entity references stay literal text on load and
// nothing is escaped on save, so an "&" survives a round trip unchanged. Element
// and attribute names match without regard to letter case everywhere.
//
// Only documents that load again are written: an attribute value holding a double
// quote is written in single quotes and an element value holding "<" as a CDATA
// section; a value that fits neither form, or a document nested deeper than
// MaxXmlDepth, raises EXmlSaveError before anything is written.

#include "platform/platform_errors.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <pugixml.hpp>

#include <concepts>

class QIODevice;

// Raised when a file does not hold a well-formed document; the message is the file's text.
VRN_DECLARE_ERROR(ESimpleXmlExException, Exception)
// The document model's error for text that is not well-formed XML, or nested deeper than MaxXmlDepth.
VRN_DECLARE_ERROR(EXmlParseError, Exception)
// Raised by the serialiser for a document whose text would not load again.
VRN_DECLARE_ERROR(EXmlSaveError, Exception)

// The deepest nesting of items a document may have (the document element is level 1).
// Configuration documents use a handful of levels; a deeper one is refused at load.
inline constexpr int MaxXmlDepth = 1000;

enum TStringEncoding { seAnsi, seUTF8, seUTF16, seAuto };

// The encoding named by the XML declaration at the start of 8-bit text; empty when it names none.
QString DeclaredXmlEncoding(const QByteArray& bytes);

inline constexpr quint16 CodePageUtf8 = 65001;
inline constexpr quint16 CodePageUtf16 = 1200;

// One attribute of an element; a null handle when the attribute does not exist.
class TXmlProp {
public:
    TXmlProp() = default;
    explicit TXmlProp(pugi::xml_attribute attr) : m_attr(attr) {}

    bool IsNull() const { return !m_attr; }
    explicit operator bool() const { return !IsNull(); }
    QString Name() const;
    QString Value() const;
    // -1 when the value is not a decimal integer.
    qint64 IntValue() const;
    void SetValue(const QString& value);
    pugi::xml_attribute attribute() const { return m_attr; }

private:
    pugi::xml_attribute m_attr;
};

// An item of the tree: an element, or an unnamed comment, CDATA or processing
// instruction among an element's items. A null handle stands for "none".
//
// An element's value is its text; its items are everything else below it. Text
// beside child elements (mixed content) counts as the value, not as an item.
class TXmlElem {
public:
    TXmlElem() = default;
    explicit TXmlElem(pugi::xml_node node) : m_node(node) {}

    bool IsNull() const { return !m_node; }
    explicit operator bool() const { return !IsNull(); }
    bool IsElement() const { return m_node.type() == pugi::node_element; }
    bool IsCData() const { return m_node.type() == pugi::node_cdata; }
    bool IsComment() const { return m_node.type() == pugi::node_comment; }
    pugi::xml_node node() const { return m_node; }
    bool operator==(const TXmlElem& other) const { return m_node == other.m_node; }

    // Empty for comments, CDATA and processing instructions.
    QString Name() const;
    void SetName(const QString& name);

    QString Value() const;
    // Empty text leaves no value, so the element is written as "<name/>".
    void SetValue(const QString& value);
    // -1 when the value is not a decimal integer.
    qint64 IntValue() const;
    bool BoolValue() const;

    QList<TXmlElem> Items() const;
    int ItemCount() const;
    // A null handle when `index` is out of range.
    TXmlElem Item(int index) const;
    // The first child element called `name`; a null handle when there is none.
    TXmlElem ItemNamed(const QString& name) const;
    // Appends a child element.
    TXmlElem AddItem(const QString& name, const QString& value = QString());
    // Removes every item; the element's own value stays.
    void ClearItems();

    QList<TXmlProp> Props() const;
    int PropCount() const;
    // A null handle when there is no such attribute.
    TXmlProp FindProp(const QString& name) const;
    // Appends an attribute without looking for an existing one of that name.
    TXmlProp AddProp(const QString& name, const QString& value);
    QString PropValue(const QString& name, const QString& defaultValue = QString()) const;
    // `defaultValue` when the attribute is missing, -1 when it is not an integer.
    qint64 PropIntValue(const QString& name, qint64 defaultValue) const;
    // Removes every attribute.
    void ClearProps();

private:
    pugi::xml_node m_node;
};

// Element operations. Only ForceElemProperty and WriteElemProperty add anything.
QString ReadElemProperty(TXmlElem elem, const QString& Name, const QString& Default);
// The first child `Name` read as an integer (-1 when it is not one) cut to 32 bits;
// `Default` when there is no such child.
int ReadElemItemInt(TXmlElem elem, const QString& Name, int Default);
QString ReadElemItem(TXmlElem elem, const QString& Name, const QString& Default);
// The attribute `Name`, added with an empty value when missing.
TXmlProp ForceElemProperty(TXmlElem elem, const QString& Name);
// Sets the attribute `Name` (adding it when missing) and returns `elem` for chaining.
TXmlElem WriteElemProperty(TXmlElem elem, const QString& Name, const QString& Value);

// Text forms of typed values.
QString IntToXmlText(qint64 value);
qint64 XmlTextToInt(const QString& text);     // -1 when not a decimal integer
QString BoolToXmlText(bool value);            // "True" / "False"
bool XmlTextToBool(const QString& text);      // "true"/"false" in any case, or a number

class TExSimpleXML {
public:
    // An empty document: an unnamed root and a declaration for UTF-8.
    TExSimpleXML();
    TExSimpleXML(const TExSimpleXML&) = delete;
    TExSimpleXML& operator=(const TExSimpleXML&) = delete;

    // The file given to the last LoadXMLFile; SaveXMLFile writes to it.
    const QString& FileName() const { return FFileName; }
    // The encoding the document was read in, or last chosen for saving.
    TStringEncoding Encoding() const { return FEncoding; }
    quint16 CodePage() const { return FCodePage; }
    // The encoding name of the XML declaration; empty when the document has none.
    QString DeclaredEncoding() const;
    void SetDeclaredEncoding(const QString& name);

    // The document element; a new document's root has no name until a caller gives it one.
    TXmlElem Root() const { return TXmlElem(rootNode()); }
    pugi::xml_document& Document() { return FDocument; }

    // Loads the file when it exists (true); otherwise starts an empty document bound
    // to that file name (false). Throws ESimpleXmlExException with the file's text
    // when it is not well-formed, EInOutError when it cannot be read.
    bool LoadXMLFile(const QString& AFileName);
    // False only without a stream. Reads from the stream's current position; on
    // success the stream is deleted when `bFreeStream`. Throws EXmlParseError
    // when the text is not well-formed (the stream is then left to the caller).
    bool LoadXML(QIODevice* Stream, bool bFreeStream);
    void LoadXML(const QByteArray& bytes);

    // Writes to the file name of LoadXMLFile. Throws EFCreateError when there is no
    // file name or the file cannot be created; an existing file is replaced only
    // once the new text is completely written.
    void SaveXMLFile(TStringEncoding AEncoding = seAuto);
    // The same to another file; the document's file name does not change.
    void SaveToFile(const QString& fileName, TStringEncoding AEncoding = seAuto);
    // The serialised document. `CodePage` applies to seAnsi (0: the system's ANSI code page).
    QByteArray SaveStream(TStringEncoding Encoding, quint16 CodePage = 0) const;

    // The element at `Path` below the root, created step by step as needed.
    TXmlElem GetItem(const QStringList& Path);

    QString ReadValue(const QString& Name, const QStringList& Path, const QString& Default);
    qint64 ReadValue(const QString& Name, const QStringList& Path, qint64 Default);
    // Only a real bool picks this overload: a text literal reads as a string, 0 as an integer.
    template <std::same_as<bool> B>
    bool ReadValue(const QString& Name, const QStringList& Path, B Default)
    {
        return XmlTextToBool(ReadValue(Name, Path, BoolToXmlText(Default)));
    }

    void WriteValue(const QString& Name, const QStringList& Path, const QString& Value);
    void WriteValue(const QString& Name, const QStringList& Path, qint64 Value);
    template <std::same_as<bool> B>
    void WriteValue(const QString& Name, const QStringList& Path, B Value)
    {
        WriteValue(Name, Path, BoolToXmlText(Value));
    }

    QString ReadProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                           const QString& Default);
    qint64 ReadProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                          qint64 Default);
    template <std::same_as<bool> B>
    bool ReadProperties(const QString& Name, const QString& PropName, const QStringList& Path, B Default)
    {
        return XmlTextToBool(ReadProperties(Name, PropName, Path, BoolToXmlText(Default)));
    }

    void WriteProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                         const QString& Value);
    void WriteProperties(const QString& Name, const QString& PropName, const QStringList& Path,
                         qint64 Value);
    template <std::same_as<bool> B>
    void WriteProperties(const QString& Name, const QString& PropName, const QStringList& Path, B Value)
    {
        WriteProperties(Name, PropName, Path, BoolToXmlText(Value));
    }

    // Appends the values of the element items of child `Name` to `List` (not cleared
    // first) and returns true; without such a child, adds it empty and returns false.
    bool ReadStringList(const QString& Name, const QStringList& Path, QStringList& List);
    // Adds one item `ItemName` per line of `List` to child `Name`, after removing the
    // child's items when `bClear`. A null `List` only creates or clears the child.
    void WriteStringList(const QString& Name, const QString& ItemName, const QStringList& Path,
                         const QStringList* List, bool bClear);
    void WriteStringList(const QString& Name, const QString& ItemName, const QStringList& Path,
                         const QStringList& List, bool bClear)
    {
        WriteStringList(Name, ItemName, Path, &List, bClear);
    }

private:
    struct TextEncoding {
        TStringEncoding encoding;
        quint16 codePage;
    };

    pugi::xml_node rootNode() const;
    pugi::xml_node declaration() const;
    void resetToEmpty();
    void parse(const QByteArray& bytes);
    TextEncoding resolveEncoding(TStringEncoding requested, quint16 codePage) const;
    QString serialise(const TextEncoding& target, bool nameAsStored) const;

    pugi::xml_document FDocument;
    QString FFileName;
    TStringEncoding FEncoding = seUTF8;
    quint16 FCodePage = CodePageUtf8;
};
