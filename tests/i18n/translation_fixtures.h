#pragma once
// Components for the translator tests: the setup's main window in miniature, and
// the list kinds the program itself has no use for (tree nodes, list items,
// collections), shaped the way the translator recognises them.

#include "i18n/strings.h"
#include "i18n/virtual_string_list.h"

#include <QEvent>
#include <QList>
#include <QWidget>

// A window that owns the three string tables, as the form resource creates them.
class TTestWindow : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption READ windowTitle WRITE setWindowTitle)
public:
    explicit TTestWindow(const QString& name = QStringLiteral("MainWindow"), QWidget* parent = nullptr);

    TVirtualStringList* InstallStrings;
    TVirtualStringList* Shortcuts;
    TVirtualStringList* UninstallStrings;
    QList<int> receivedEvents;

protected:
    bool event(QEvent* e) override;
};

// A component with one property of every kind the translator converts.
class TTestControl : public QObject {
    Q_OBJECT
public:
    enum TAlign { alNone, alTop, alBottom, alClient };
    Q_ENUM(TAlign)
    enum TAnchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
    Q_DECLARE_FLAGS(TAnchors, TAnchor)
    Q_FLAG(TAnchors)

    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(QString Caption MEMBER Caption)
    Q_PROPERTY(QString Hint MEMBER Hint)
    Q_PROPERTY(QString ReadOnlyText READ ReadOnlyText)
    Q_PROPERTY(int Tag MEMBER Tag)
    Q_PROPERTY(int ShortCut MEMBER ShortCut)
    Q_PROPERTY(TAlign Align MEMBER Align)
    Q_PROPERTY(TAnchors Anchors READ GetAnchors WRITE SetAnchors)
    Q_PROPERTY(bool Visible MEMBER Visible)
    Q_PROPERTY(double Ratio MEMBER Ratio)
    Q_PROPERTY(TTestControl* Font MEMBER Font)
    Q_PROPERTY(TStrings* Items MEMBER Items)

    explicit TTestControl(const QString& name = QString(), QObject* parent = nullptr);
    QString ReadOnlyText() const { return QStringLiteral("fixed"); }
    TAnchors GetAnchors() const { return Anchors; }
    void SetAnchors(TAnchors anchors) { Anchors = anchors; }

    QString Caption, Hint;
    int Tag = 7, ShortCut = 7;
    TAlign Align = alNone;
    TAnchors Anchors = akLeft;
    bool Visible = false;
    double Ratio = 0.5;
    TTestControl* Font = nullptr;
    TStrings* Items = nullptr;
};

// A plain object reached through an object property, not through ownership.
class TTestFont : public TTestControl {
    Q_OBJECT
public:
    using TTestControl::TTestControl;
};

class TTreeNode : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Text MEMBER Text)
public:
    using QObject::QObject;
    QString Text;
};

// All nodes of a tree, parent before children, addressed by absolute position.
class TTreeNodes : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Count READ Count)
public:
    using QObject::QObject;
    TTreeNode* Add(const QString& text);
    int Count() const { return int(nodes.size()); }
    Q_INVOKABLE QObject* Item(int index) const { return nodes.value(index); }
    QList<TTreeNode*> nodes;
};

class TListItem : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER Caption)
    Q_PROPERTY(TStrings* SubItems MEMBER SubItems)
public:
    explicit TListItem(QObject* parent = nullptr) : QObject(parent), SubItems(new TStrings(this)) {}
    QString Caption;
    TStrings* SubItems;
};

class TListItems : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Count READ Count)
public:
    using QObject::QObject;
    TListItem* Add(const QString& caption, const QStringList& subItems);
    int Count() const { return int(items.size()); }
    Q_INVOKABLE QObject* Item(int index) const { return items.value(index); }
    QList<TListItem*> items;
};

class TCollection : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Count READ Count)
public:
    using QObject::QObject;
    int Count() const { return int(items.size()); }
    Q_INVOKABLE QObject* Item(int index) const { return items.value(index); }
    QList<QObject*> items;
};

// A column collection as a list view publishes it.
class TListColumns : public TCollection {
    Q_OBJECT
public:
    explicit TListColumns(int count, QObject* parent = nullptr);
};

// A view holding one of each list kind, reached through object properties.
class TTestView : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Name READ objectName WRITE setObjectName)
    Q_PROPERTY(TTreeNodes* Nodes MEMBER Nodes)
    Q_PROPERTY(TListItems* Rows MEMBER Rows)
    Q_PROPERTY(TListColumns* Columns MEMBER Columns)
    Q_PROPERTY(TListColumns* HiddenColumns READ HiddenColumns)
public:
    explicit TTestView(const QString& name, QObject* parent = nullptr);
    TListColumns* HiddenColumns() const { return Columns; }
    TTreeNodes* Nodes;
    TListItems* Rows;
    TListColumns* Columns;
};
