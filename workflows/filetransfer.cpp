#include "app/mainwindow.h"

// Answers to the reader's file commands and to Reboot / Factory reset; file
// transfer and the restart handling are not offered yet.
void MainWindow::fileOpenAnswered(const QByteArray &) {}
void MainWindow::fileReadAnswered(const QByteArray &) {}
void MainWindow::fileWriteAnswered(const QByteArray &) {}
void MainWindow::fileCloseAnswered() {}
void MainWindow::deviceRestartAnswered() {}
