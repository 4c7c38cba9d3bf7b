#pragma once
// The network tool's form: a device choice, the address source and seven
// dotted addresses of four edits each.
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

class Ui_Widget
{
public:
    static constexpr int c_iGroupCount = 7;
    static constexpr int c_iPartCount = 4;

    QLabel *labelDevice;
    QComboBox *comboBoxDevice;
    QLabel *labelSource;
    QComboBox *comboBoxSource;
    // In the order of the settings record: address, subnet, gateway, primary
    // DNS, secondary DNS, primary WINS, secondary WINS.
    QLabel *rowLabels[c_iGroupCount];
    QLineEdit *edits[c_iGroupCount][c_iPartCount];
    QLabel *dots[c_iGroupCount][c_iPartCount - 1];
    QPushButton *buttonGet;
    QPushButton *buttonSet;

    void setupUi(QWidget *widget)
    {
        static const char *const groupNames[c_iGroupCount] = {
            "Address", "Subnet", "Gateway", "PrimaryDNS", "SecondaryDNS", "PrimaryWINS", "SecondaryWINS"};
        if (widget->objectName().isEmpty())
            widget->setObjectName("Widget");
        widget->resize(360, 380);
        QFont font = widget->font();
        font.setPointSize(7);
        widget->setFont(font);

        labelDevice = Label(widget, "labelDevice", 20, 30);
        comboBoxDevice = new QComboBox(widget);
        comboBoxDevice->setObjectName("comboBoxDevice");
        comboBoxDevice->setGeometry(130, 30, 190, 20);
        labelSource = Label(widget, "labelSource", 20, 60);
        comboBoxSource = new QComboBox(widget);
        comboBoxSource->setObjectName("comboBoxSource");
        comboBoxSource->setGeometry(130, 60, 121, 20);

        static const int editX[c_iPartCount] = {130, 180, 230, 280};
        static const int dotX[c_iPartCount - 1] = {173, 223, 273};
        for (int g = 0; g < c_iGroupCount; ++g) {
            const int y = 90 + 30 * g;
            rowLabels[g] = Label(widget, QString("label%1").arg(groupNames[g]), 20, y);
            for (int p = 0; p < c_iPartCount; ++p) {
                QLineEdit *edit = new QLineEdit(widget);
                edit->setObjectName(QString("lineEdit%1_%2").arg(groupNames[g]).arg(p + 1));
                edit->setGeometry(editX[p], y, 40, 20);
                edit->setAlignment(Qt::AlignCenter);
                edit->setText("0");
                edits[g][p] = edit;
            }
            for (int d = 0; d < c_iPartCount - 1; ++d) {
                QLabel *dot = new QLabel(widget);
                dot->setObjectName(QString("labelDot%1_%2").arg(g + 1).arg(d + 1));
                dot->setGeometry(dotX[d], y, 10, 18);
                dot->setText(".");
                dots[g][d] = dot;
            }
        }
        buttonGet = new QPushButton(widget);
        buttonGet->setObjectName("buttonGet");
        buttonGet->setGeometry(60, 320, 80, 26);
        buttonSet = new QPushButton(widget);
        buttonSet->setObjectName("buttonSet");
        buttonSet->setGeometry(220, 320, 80, 26);
        retranslateUi(widget);
    }

    void retranslateUi(QWidget *widget)
    {
        widget->setWindowTitle("Widget");
        for (QLabel *label : {labelDevice, labelSource})
            label->setText("TextLabel");
        for (QLabel *label : rowLabels)
            label->setText("TextLabel");
        buttonGet->setText(QString::fromUtf8("读取"));
        buttonSet->setText(QString::fromUtf8("设置"));
    }

private:
    static QLabel *Label(QWidget *parent, const QString &name, int x, int y)
    {
        QLabel *label = new QLabel(parent);
        label->setObjectName(name);
        label->setGeometry(x, y, 100, 18);
        return label;
    }
};
