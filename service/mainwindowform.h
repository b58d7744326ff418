// The main window's form: a tab page with the service's name on it.  The
// window stays hidden unless someone asks for it.
#ifndef KOBIX_MAINWINDOWFORM_H
#define KOBIX_MAINWINDOWFORM_H

#include <QCoreApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTabWidget>
#include <QToolBar>
#include <QWidget>

class Ui_MainWindow
{
public:
    QWidget *centralWidget = nullptr;
    QTabWidget *tabWidget = nullptr;
    QWidget *tab_1 = nullptr;
    QLabel *label = nullptr;
    QToolBar *mainToolBar = nullptr;

    void setupUi(QMainWindow *MainWindow)
    {
        if (MainWindow->objectName().isEmpty())
            MainWindow->setObjectName(QString::fromUtf8("MainWindow"));
        MainWindow->resize(224, 157);
        centralWidget = new QWidget(MainWindow);
        centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
        tabWidget = new QTabWidget(centralWidget);
        tabWidget->setObjectName(QString::fromUtf8("tabWidget"));
        tabWidget->setGeometry(QRect(10, 10, 210, 130));
        tab_1 = new QWidget();
        tab_1->setObjectName(QString::fromUtf8("tab_1"));
        label = new QLabel(tab_1);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(10, 30, 180, 50));
        tabWidget->addTab(tab_1, QString());
        MainWindow->setCentralWidget(centralWidget);
        mainToolBar = new QToolBar(MainWindow);
        mainToolBar->setObjectName(QString::fromUtf8("mainToolBar"));
        MainWindow->addToolBar(Qt::TopToolBarArea, mainToolBar);

        retranslateUi(MainWindow);

        tabWidget->setCurrentIndex(0);
        QMetaObject::connectSlotsByName(MainWindow);
    }

    void retranslateUi(QMainWindow *MainWindow)
    {
        MainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
        label->setText(QCoreApplication::translate(
            "MainWindow", "<html><head/><body><p>Quelda\346\213\215\346\221\204\344\273\252 KobixWeb</p></body></html>",
            nullptr));
        tabWidget->setTabText(tabWidget->indexOf(tab_1),
                              QCoreApplication::translate("MainWindow", "\351\246\226\351\200\211\351\241\271", nullptr));
    }
};

#endif
