#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDesktopServices>
#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QUrl>

#include "discovery/announcement.h"

// The window as the view of network discovery (discovery/devicediscovery.h):
// lvDetectedDevices lists the detected devices in discovery's order, each by
// its line, offline ones in italics; labDetected says how many were found.
// Entries the list drops (clear, takeItem) discovery forgets with it.

void MainWindow::startDiscoveryLoops()
{
    QListWidget *list = ui->lvDetectedDevices;
    // Every entry is one line of the same font: without this the list lays
    // out all its entries again, text by text, whenever one changes.
    list->setUniformItemSizes(true);
    QAbstractItemModel *model = list->model();
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] { discovery.forgetAll(); });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) { discovery.forget(first, last); });
    connect(&discovery, &DeviceDiscovery::deviceAdded, this, &MainWindow::showDetectedDevice);
    connect(&discovery, &DeviceDiscovery::deviceOnlineChanged, this, &MainWindow::showDeviceOnline);
    connect(&discovery, &DeviceDiscovery::logLine, this, &MainWindow::logd);

    updateTimer = discovery.offlineTimer();
    discovery.start();
    udpScanFuture = discovery.scanFuture();
    udpListenFuture = discovery.listenFuture();
}

void MainWindow::showDetectedDevice(int row)
{
    const DeviceDiscovery::Device &device = discovery.device(row);
    auto *item = new QListWidgetItem(device.text());
    item->setData(Discovery::AddressRole, device.address);
    item->setData(Discovery::NameRole, device.name);
    item->setData(Discovery::VersionRole, device.version);
    item->setData(Discovery::PaddedAddressRole, device.paddedAddress);
    ui->lvDetectedDevices->insertItem(row, item);
    ui->labDetected->setText(QStringLiteral("Detected devices (%1)").arg(discovery.count()));
}

void MainWindow::showDeviceOnline(int row)
{
    QListWidgetItem *item = ui->lvDetectedDevices->item(row);
    QFont font = item->font();
    font.setStyle(discovery.device(row).online ? QFont::StyleNormal : QFont::StyleItalic);
    item->setFont(font);
}

void MainWindow::on_lvDetectedDevices_currentItemChanged(QListWidgetItem *current, QListWidgetItem *)
{
    if (current)
        ui->leDeviceAddr->setText(current->data(Discovery::AddressRole).toString());
}

void MainWindow::on_btOpenWeb_clicked()
{
    const QString address = ui->leDeviceAddr->text();
    if (address.isEmpty()) {
        logd(QStringLiteral("Please enter device IP address or select from device list"));
        return;
    }
    QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + address));
}
