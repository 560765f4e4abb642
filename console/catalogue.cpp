#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>

#include "console/catalogue.h"
#include "console/commandfilter.h"
#include "console/hexbyte.h"

QString MainWindow::hexByte(uint8_t value)
{
    return hexByteText(value);
}

QString MainWindow::commandName(uint32_t code) const
{
    return session.commandName(code);
}

void MainWindow::loadCommandCatalogue()
{
    commands = readCommandCatalogue();
}

void MainWindow::fillCommandList(int)
{
    ui->lvCommands->clear();
    for (int i = 0; i < MaxParams; ++i) {
        delete paramLabels[i];
        delete paramEdits[i];
        paramLabels[i] = nullptr;
        paramEdits[i] = nullptr;
    }

    CommandFilter filter;
    filter.generic = ui->ckbFilterGeneric->isChecked();
    filter.mifareClassic = ui->ckbFilterMifare->isChecked();
    filter.mifareUltralight = ui->ckbFilterMifareUl->isChecked();
    filter.mifareDesfire = ui->ckbFilterMifareDesfire->isChecked();
    filter.icode = ui->ckbFilterICode->isChecked();

    for (const QJsonValue &entry : commands) {
        const QJsonObject command = entry.toObject();
        if (!filter.lists(command))
            continue;
        const int code = command.value(QStringLiteral("value")).toInt();
        auto *item = new QListWidgetItem(QStringLiteral("[") + hexByte(uint8_t(code)) + QStringLiteral("] ")
                                         + command.value(QStringLiteral("name")).toString());
        item->setData(Qt::UserRole, command);
        ui->lvCommands->addItem(item);
    }
}
