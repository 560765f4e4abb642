#include "app/mainwindow.h"

// Hooks for UDP discovery. The scan and listener loops are not started yet:
// nothing here sends a datagram.
void MainWindow::startDiscoveryLoops()
{
}

void MainWindow::stopDiscoveryLoops()
{
}

void MainWindow::updateListTimer()
{
}
