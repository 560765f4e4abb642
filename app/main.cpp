#include <QApplication>

#include "app/appsetup.h"
#include "app/mainwindow.h"

int main(int argc, char *argv[])
{
    prepareApplication();
    QApplication app(argc, argv);
    int rc;
    {
        MainWindow window;
        window.show();
        rc = app.exec();
    }
    return rc;
}
