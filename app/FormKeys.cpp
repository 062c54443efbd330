#include "FormKeys.h"

#include "ui_Tallyview.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>

#include <iterator>

FormKeys::FormKeys(Ui::TallyviewClass &ui, QObject *parent) : QObject(parent), m_ui(ui)
{
    // One chain through both pages: the hidden page's controls are passed over.
    QWidget *const order[] = {ui.comboBox,          ui.pushButton,   ui.toolButton,
                              ui.dateEdit,          ui.m_pbExport,   ui.comboBox_2,
                              ui.pushButton_2,      ui.toolButton_2, ui.m_startdateTimeEdit,
                              ui.m_enddateTimeEdit, ui.textEdit};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    for (QObject *field :
         {static_cast<QObject *>(ui.comboBox), static_cast<QObject *>(ui.dateEdit),
          static_cast<QObject *>(ui.comboBox_2), static_cast<QObject *>(ui.m_startdateTimeEdit),
          static_cast<QObject *>(ui.m_enddateTimeEdit)})
        field->installEventFilter(this);
}

bool FormKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    // Shift or Ctrl with Enter is left to the field; the keypad's Enter carries KeypadModifier.
    if (!enter || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
        return QObject::eventFilter(watched, event);
    // An open list takes Enter for its own choice.
    if (auto *combo = qobject_cast<QComboBox *>(watched); combo && combo->view()->isVisible())
        return QObject::eventFilter(watched, event);
    // The date typed so far counts, as when the field loses the focus to the button.
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(watched))
        spin->interpretText();
    const bool dayPage = watched == m_ui.comboBox || watched == m_ui.dateEdit;
    (dayPage ? m_ui.pushButton : m_ui.pushButton_2)->click();
    return true;
}
