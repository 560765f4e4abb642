#include "app/mainwindow.h"

// Answers to "Network config"; reading and writing network settings is not
// offered yet.
void MainWindow::networkSettingsAnswered(const QByteArray &) {}
