#include "app/mainwindow.h"

// Hooks for the RS485 bus scan, which arrives with device discovery: an
// unanswered probe moves on to the next address, an answered one records the
// reader found. No scan is started yet.
void MainWindow::rs485ScanNextAddress() {}
void MainWindow::rs485ScanDeviceFound(const QString &) {}
