#include "app/mainwindow.h"

// Answers to the OTA commands; the device firmware update is not offered yet.
void MainWindow::firmwareBeginAnswered() {}
void MainWindow::firmwareFrameAnswered() {}
void MainWindow::firmwareEndAnswered() {}
