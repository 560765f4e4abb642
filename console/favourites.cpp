#include "app/mainwindow.h"

// Favourite commands: filled in with the favourites tab.
void MainWindow::loadFavourites() {}
void MainWindow::refreshFavourites() {}
void MainWindow::addNewFavCommand(int, const QString &, const QString &) {}
void MainWindow::on_btAddFavCommand_clicked() {}
void MainWindow::on_btEditFavCommand_clicked() {}
void MainWindow::on_btDeleteFavCommand_clicked() {}
void MainWindow::on_btFavDown_clicked() {}
void MainWindow::on_btFavUp_clicked() {}
void MainWindow::on_lvFavCommands_itemDoubleClicked(QListWidgetItem *) {}
