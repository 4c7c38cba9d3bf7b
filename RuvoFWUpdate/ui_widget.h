#pragma once
// The firmware updater's form: the printer table, the file path and the buttons.
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

class Ui_Widget
{
public:
    QLabel *label;
    QTableWidget *tablePrinterList;
    QPushButton *buttonRefresh;
    QLabel *label_2;
    QLineEdit *lineFilePath;
    QPushButton *buttonBrowse;
    QPushButton *buttonOK;

    void setupUi(QWidget *widget)
    {
        if (widget->objectName().isEmpty())
            widget->setObjectName("Widget");
        widget->resize(520, 400);
        label = new QLabel(widget);
        label->setObjectName("label");
        label->setGeometry(20, 20, 200, 20);
        tablePrinterList = new QTableWidget(widget);
        tablePrinterList->setObjectName("tablePrinterList");
        tablePrinterList->setGeometry(20, 40, 480, 200);
        buttonRefresh = new QPushButton(widget);
        buttonRefresh->setObjectName("buttonRefresh");
        buttonRefresh->setGeometry(420, 245, 80, 26);
        label_2 = new QLabel(widget);
        label_2->setObjectName("label_2");
        label_2->setGeometry(20, 280, 200, 20);
        lineFilePath = new QLineEdit(widget);
        lineFilePath->setObjectName("lineFilePath");
        lineFilePath->setGeometry(20, 300, 380, 26);
        buttonBrowse = new QPushButton(widget);
        buttonBrowse->setObjectName("buttonBrowse");
        buttonBrowse->setGeometry(420, 300, 80, 26);
        buttonOK = new QPushButton(widget);
        buttonOK->setObjectName("buttonOK");
        buttonOK->setGeometry(420, 355, 80, 26);
        retranslateUi(widget);
        QMetaObject::connectSlotsByName(widget);
    }

    void retranslateUi(QWidget *widget)
    {
        widget->setWindowTitle("Widget");
        label->setText("TextLabel");
        label_2->setText("TextLabel");
        buttonOK->setText("Start");
        buttonBrowse->setText("Browse");
        buttonRefresh->setText("Refresh");
    }
};
