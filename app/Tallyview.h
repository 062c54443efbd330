#pragma once

#include "ui_Tallyview.h"

#include <QMainWindow>
#include <QMap>
#include <QString>

class FindBar;
class RecordListing;
class QCloseEvent;
class QPoint;

// The log viewer's main window: lists the records of one category for a day or a time range,
// finds text in the listing and exports a day's records to a text file. It starts the log service
// when it is built and releases it when it is destroyed.
class Tallyview : public QMainWindow
{
    Q_OBJECT

public:
    explicit Tallyview(QWidget *parent = nullptr);
    ~Tallyview() override;

public Q_SLOTS:
    // Serves all five buttons; tells them apart by the sender's object name.
    void onButtonClicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void queryByDay();
    void queryByRange();
    void exportDay();
    void openFind();
    void showViewMenu(const QPoint &pos);

    Ui::TallyviewClass ui;
    QMap<int, QString> m_logTypeMap;
    int m_comBoxIndex = 0;
    // What textEdit shows of a listing, whatever its length.
    RecordListing *m_listing = nullptr;
    // Made when first opened, so that the window starts with the form's widgets only.
    FindBar *m_findBar = nullptr;
};
