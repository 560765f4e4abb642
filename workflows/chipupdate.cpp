#include "app/mainwindow.h"

// Answers to the PN OTA commands; the RFID chip update is not offered yet.
void MainWindow::chipUpdateAnswered() {}
void MainWindow::chipUpdateFinished() {}
