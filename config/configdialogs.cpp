#include "app/mainwindow.h"

void MainWindow::openConfigurationDialog(int, const QString &)
{
    // The configuration dialogs are not offered yet.
}
