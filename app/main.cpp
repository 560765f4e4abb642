#include <QApplication>

#include "app/mainwindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int rc;
    {
        MainWindow window;
        window.show();
        rc = app.exec();
    }
    return rc;
}
