#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QListWidgetItem>

#include "console/favouritelist.h"
#include "console/newfavcmdwindow.h"

// The favourites tab. The settings are the one source of truth: every change
// is made on the list, saved, and then read back into lvFavCommands by
// refreshFavourites.

// At start-up: what was wrong with the stored favourites is said once.
// Records left out are gone from the store at the next change of the list.
void MainWindow::loadFavourites()
{
    if (!favourites) {
        favourites = new FavouriteList;
        // The list is a plain object and goes with the window.
        connect(this, &QObject::destroyed, [list = favourites] { delete list; });
    }
    QStringList problems;
    favourites->load(&problems);
    for (const QString &problem : qAsConst(problems))
        logd(problem);
}

void MainWindow::refreshFavourites()
{
    favourites->load();
    ui->lvFavCommands->clear();
    for (const FavouriteCommand &command : favourites->commands()) {
        auto *item = new QListWidgetItem(command.name, ui->lvFavCommands);
        item->setData(Qt::UserRole, command.hex);
    }
}

void MainWindow::addNewFavCommand(int idx, const QString &name, const QString &hex)
{
    const FavouriteCommand command {name, hex};
    // A dialog may outlive the record it was opened on (deleted meanwhile):
    // its entry is then kept as a new one.
    const bool replaced = idx != -1 && favourites->replace(idx, command);
    if (!replaced)
        favourites->append(command);
    favourites->save();
    refreshFavourites();
    if (replaced)
        ui->lvFavCommands->setCurrentRow(idx);
}

void MainWindow::on_btAddFavCommand_clicked()
{
    auto *dialog = new NewFavCmdWindow(this, -1);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &NewFavCmdWindow::addNewFavCommand, this, &MainWindow::addNewFavCommand);
    dialog->show();
}

void MainWindow::on_btEditFavCommand_clicked()
{
    QListWidgetItem *item = ui->lvFavCommands->currentItem();
    const int row = ui->lvFavCommands->currentRow();
    if (!item || !item->isSelected() || !favourites->contains(row))
        return;
    const FavouriteCommand command = favourites->at(row);
    auto *dialog = new NewFavCmdWindow(this, row, command.name, command.hex);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &NewFavCmdWindow::addNewFavCommand, this,
            [this, command](int idx, const QString &name, const QString &hex) {
                editFavourite(idx, command, {name, hex});
            });
    dialog->show();
}

// The editor is not modal: the list may change while it is open. Its OK
// replaces the favourite it was opened on wherever that stands now (at its
// old row if it is still there); one deleted meanwhile comes back as new.
void MainWindow::editFavourite(int row, const FavouriteCommand &original, const FavouriteCommand &edited)
{
    const auto same
        = [&original](const FavouriteCommand &c) { return c.name == original.name && c.hex == original.hex; };
    int pos = favourites->contains(row) && same(favourites->at(row)) ? row : -1;
    for (int i = 0; pos < 0 && i < favourites->size(); ++i) {
        if (same(favourites->at(i)))
            pos = i;
    }
    addNewFavCommand(pos, edited.name, edited.hex);
}

void MainWindow::on_btDeleteFavCommand_clicked()
{
    QListWidgetItem *item = ui->lvFavCommands->currentItem();
    if (!item || !item->isSelected())
        return;
    favourites->remove(ui->lvFavCommands->currentRow());
    favourites->save();
    refreshFavourites();
}

// Shows the up arrow: one place towards the top.
void MainWindow::on_btFavDown_clicked()
{
    const int row = ui->lvFavCommands->currentRow();
    if (row < 1 || !favourites->contains(row))
        return;
    favourites->move(row, row - 1);
    favourites->save();
    refreshFavourites();
    ui->lvFavCommands->setCurrentRow(row - 1);
}

// Shows the down arrow: one place towards the bottom.
void MainWindow::on_btFavUp_clicked()
{
    const int row = ui->lvFavCommands->currentRow();
    if (row < 0 || row + 1 >= favourites->size())
        return;
    favourites->move(row, row + 1);
    favourites->save();
    refreshFavourites();
    ui->lvFavCommands->setCurrentRow(row + 1);
}

// The stored bytes go to the link as they are: not framed again, the codec's
// last frame untouched, no answer awaited.
void MainWindow::on_lvFavCommands_itemDoubleClicked(QListWidgetItem *item)
{
    if (!item)
        return;
    QByteArray bytes = favouriteBytes(item->data(Qt::UserRole).toString());
    if (bytes.isEmpty())
        return;
    if (bytes.size() > FavouriteList::MaxBytes) {
        logd(QStringLiteral("Favourite command \"%1\" is longer than %2 bytes and is not sent.")
                 .arg(item->text())
                 .arg(FavouriteList::MaxBytes));
        return;
    }
    emit protocol.protocolWrite(reinterpret_cast<uint8_t *>(bytes.data()), size_t(bytes.size()));
}
