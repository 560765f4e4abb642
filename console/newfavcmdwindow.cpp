#include "console/newfavcmdwindow.h"
#include "ui_newfavcmdwindow.h"

#include "app/formaccess.h"

#include <QMessageBox>

#include "console/favouritelist.h"
#include "console/hexvalidator.h"

NewFavCmdWindow::NewFavCmdWindow(QWidget *parent, int idx, const QString &name, const QString &hex)
    : QDialog(parent)
    , idx(idx)
    , ui(new Ui::NewFavCmdWindow)
{
    ui->setupUi(this);
    ui->leHex->setValidator(new HexValidator(this));
    ui->leName->setText(name);
    // The bytes as they will be sent: the validator would pair the digits of
    // a stored text like "1 2 3" (sent as 01 02 03) into other bytes.
    ui->leHex->setText(favouriteHex(favouriteBytes(hex)));
    FormAccess::prepareDialog(this);
}

NewFavCmdWindow::~NewFavCmdWindow()
{
    delete ui;
}

// OK only closes the dialog from here, once the entry is complete.
void NewFavCmdWindow::on_buttonBox_accepted()
{
    if (ui->leName->text().isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Waring"), QStringLiteral("Please enter command name"));
        ui->leName->setFocus();
        return;
    }
    if (ui->leHex->text().isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Waring"), QStringLiteral("Please enter bytes to send"));
        ui->leHex->setFocus();
        return;
    }
    if (favouriteBytes(ui->leHex->text()).size() > FavouriteList::MaxBytes) {
        QMessageBox::information(this, QStringLiteral("Waring"),
                                 QStringLiteral("A command may hold at most %1 bytes").arg(FavouriteList::MaxBytes));
        ui->leHex->setFocus();
        return;
    }
    emit addNewFavCommand(idx, ui->leName->text(), ui->leHex->text());
    accept();
}
