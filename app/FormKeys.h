#pragma once

#include <QObject>

namespace Ui {
class TallyviewClass;
}

// The keyboard on the window's form, a mend made in code (the form sets no tab order): Tab goes
// through each page's controls from top to bottom, left to right, then to the view, and Enter in
// any field of a page (its category, its day, its start or end) queries as that page's "查询"
// button does.
class FormKeys : public QObject
{
    Q_OBJECT

public:
    explicit FormKeys(Ui::TallyviewClass &ui, QObject *parent = nullptr);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Ui::TallyviewClass &m_ui;
};
