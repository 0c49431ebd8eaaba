#pragma once
// A list box without items that holds the controls of one choice as its children
// (the language page's radio buttons). A screen reader sees it as a group named by
// its accessible name whose members are those controls; a plain list box would
// offer its (absent) rows instead and hide the controls.

#include <QListWidget>

class TChoiceListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TChoiceListBox(QWidget* parent = nullptr);
};
