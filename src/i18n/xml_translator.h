#pragma once
// Applies a translation document to live components: elements are matched by
// name against a window and the components it owns, attributes and child
// elements against their published (Q_PROPERTY) properties.
//
// Besides plain properties the translator fills four kinds of object, which it
// recognises by the class name of the object or of one of its ancestors:
//   "TStrings"    the program's string list (i18n/strings.h);
//   "TTreeNodes"  a tree's nodes: Q_PROPERTY int Count, Q_INVOKABLE QObject* Item(int)
//                 giving the node at an absolute position, each node with a "Text" property;
//   "TListItems"  a list view's rows: Count and Item(int) as above, each row with a
//                 "Caption" property and a "SubItems" property holding a TStrings;
//   "TCollection" a collection: Count and Item(int) as above, items being plain objects.

#include "platform/platform_errors.h"
#include "xml/ex_simple_xml.h"

#include <pugixml.hpp>

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;
class QObject;
struct QMetaObject;


// The string hook: may rewrite every text before it is written to a component.
using TAnalyseSrtEvent = std::function<void(QString& Value)>;

class TBaseXMLTranslator {
public:
    // Starts with the skip entry (QObject, "Name"): component names are never translated.
    TBaseXMLTranslator();
    virtual ~TBaseXMLTranslator();
    TBaseXMLTranslator(const TBaseXMLTranslator&) = delete;
    TBaseXMLTranslator& operator=(const TBaseXMLTranslator&) = delete;

    const pugi::xml_document& XML() const { return FXML; }

    const TAnalyseSrtEvent& OnAnalyseSrt() const { return fAnalyseSrt; }
    void SetOnAnalyseSrt(TAnalyseSrtEvent hook) { fAnalyseSrt = std::move(hook); }

    // Skip entries apply to the class and every class derived from it. An entry
    // without property names skips the class's own attribute-set properties as a
    // whole; an entry with names skips only those properties.
    void SkipClass(const QMetaObject* AClass);
    void SkipProperty(const QMetaObject* AClass, const QString& PropName);
    void UnskipClass(const QMetaObject* AClass);
    void UnskipProperty(const QMetaObject* AClass, const QString& PropName);
    void ClearSkipList();
    bool InSkipList(const QObject* Obj);
    bool InSkipList(const QMetaObject* AClass);
    bool InSkipList(const QObject* Obj, const QString& PropName);
    bool InSkipList(const QMetaObject* AClass, const QString& PropName);

    // Every text taken from the document passes through here: "\n" becomes CR LF,
    // then the hook runs.
    QString AnalyseString(const QString& Text) const;

    // True when the class or one of its ancestors is named ClassName (any letter case).
    static bool IsClassNamed(const QMetaObject* AClass, const QString& ClassName);
    static bool IsClassNamed(const QObject* Obj, const QString& ClassName);

protected:
    // Each load replaces the document; a document that does not parse raises
    // EXmlParseError, a file that cannot be read EInOutError.
    void LoadFromFile(const QString& FileName);
    void LoadFromStream(QIODevice* Stream);
    void LoadFromString(const QString& S);

    pugi::xml_document FXML;

private:
    struct SkipEntry {
        const QMetaObject* cls;
        QStringList props;  // sorted without regard to case, no duplicates; empty: whole class
    };
    using SkipList = std::vector<SkipEntry>;

    void LoadFromBuffer(const QByteArray& bytes);
    void CheckParsed(const pugi::xml_parse_result& result);

    std::unique_ptr<SkipList> FSkipList;
    TAnalyseSrtEvent fAnalyseSrt;
};

class TCustomXMLTranslator : public TBaseXMLTranslator {
public:
    // The element named Name: Parent itself, or the first match among its
    // descendants in document order (among its children only when not Recursive).
    // An empty Parent means the root.
    virtual pugi::xml_node FindElement(pugi::xml_node Parent, const QString& Name, bool Recursive);
    // Applies a component element to a component and, through its child
    // elements, to the components it owns and its object properties.
    virtual void TranslateComponent(QObject* Obj, pugi::xml_node Elem);

protected:
    void TranslateAttributes(QObject* Obj, pugi::xml_node Elem);
    void TranslateProperties(QObject* Obj, pugi::xml_node Elem);
    void TranslateCollection(QObject* Coll, pugi::xml_node Elem);
    void TranslateStrings(QObject* List, pugi::xml_node Elem);
    void TranslateTreeNodes(QObject* Nodes, pugi::xml_node Elem);
    void TranslateListItems(QObject* Items, pugi::xml_node Elem);

private:
    void TranslateObjectProperty(QObject* Obj, pugi::xml_node Elem);
    void SetFromText(QObject* Obj, const QString& PropName, const QString& Text, bool FromAttribute);
};

class TXMLTranslator : public TCustomXMLTranslator {
public:
    // Without a window the root's children are matched against the application's windows.
    void Translate(const QString& FileName);
    void Translate(QIODevice* Stream);
    void Translate(const QString& FileName, QObject* Form);
    void Translate(QIODevice* Stream, QObject* Form);
    // One window from the document already loaded; its element is named after the
    // window's name cut before the first underscore ("MainWindow_1" uses "MainWindow").
    void Translate(QObject* Form);
    void TranslateScreen(const QString& FileName);
    void TranslateScreen(QIODevice* Stream);
    void TranslateScreenString(const QString& S);
    void TranslateString(const QString& S);
    void TranslateString(const QString& S, QObject* Form);

    // One text of the loaded document: the element Item below the element Category,
    // its text or else its "Value" attribute, exactly as written (no "\n", no hook).
    QString Translate(const QString& Category, const QString& Item);

private:
    void TranslateApplication();
    void TranslateAllWindows();
};
