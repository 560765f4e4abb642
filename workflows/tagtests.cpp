#include "app/mainwindow.h"

// Continuations of the address tag and loop test chains; the two tools of
// the polling tab are not offered yet, so these states are never entered.
void MainWindow::loopTestCount(bool) {}
void MainWindow::loopTestOnUid(uint8_t) {}
void MainWindow::loopTestOnHalt() {}
void MainWindow::loopTestOnError() {}
void MainWindow::addressTagOnActivated() {}
void MainWindow::tagTestOnWritePage() {}
void MainWindow::tagTestOnReadPage(const QByteArray &) {}
