#include "translation_fixtures.h"

TTestWindow::TTestWindow(const QString& name, QWidget* parent)
    : QWidget(parent),
      InstallStrings(new TVirtualStringList(this)),
      Shortcuts(new TVirtualStringList(this)),
      UninstallStrings(new TVirtualStringList(this))
{
    setObjectName(name);
    InstallStrings->SetName(QStringLiteral("InstallStrings"));
    Shortcuts->SetName(QStringLiteral("Shortcuts"));
    UninstallStrings->SetName(QStringLiteral("UninstallStrings"));
    for (TVirtualStringList* table : {InstallStrings, Shortcuts, UninstallStrings})
        table->SetSetCount(0);
}

bool TTestWindow::event(QEvent* e)
{
    if (e->type() >= QEvent::User)
        receivedEvents << int(e->type());
    return QWidget::event(e);
}

TTestControl::TTestControl(const QString& name, QObject* parent) : QObject(parent)
{
    setObjectName(name);
}

TTreeNode* TTreeNodes::Add(const QString& text)
{
    auto* node = new TTreeNode(this);
    node->Text = text;
    nodes << node;
    return node;
}

TListItem* TListItems::Add(const QString& caption, const QStringList& subItems)
{
    auto* item = new TListItem(this);
    item->Caption = caption;
    for (const QString& sub : subItems)
        item->SubItems->Add(sub);
    items << item;
    return item;
}

TListColumns::TListColumns(int count, QObject* parent) : TCollection(parent)
{
    for (int i = 0; i < count; ++i)
        items << new TTestControl(QString(), this);
}

TTestView::TTestView(const QString& name, QObject* parent)
    : QObject(parent), Nodes(new TTreeNodes(this)), Rows(new TListItems(this)), Columns(new TListColumns(2, this))
{
    setObjectName(name);
}
