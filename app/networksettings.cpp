#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTimer>

#include "link/commandcodes.h"
#include "workflows/networkconfig.h"

// The "Network" tab: shows the reader's Wi-Fi and IP settings as the
// network settings workflow reads them, and gives it the settings as they
// are edited to write.

using namespace NetworkConfig;

void MainWindow::setUpNetworkSettings()
{
    connect(&networkSettings, &ReaderWorkflow::logLine, this, &MainWindow::logd);
    connect(&networkSettings, &NetworkSettingsWorkflow::settingRead, this, &MainWindow::showNetworkSetting);
    networkSettings.latestEdits = [this] { return shownNetworkSettings(); };
}

QWidget *MainWindow::networkField(int sub) const
{
    switch (sub) {
    case WifiMode:
        return ui->cbWifiMode;
    case AuthMode:
        return ui->cbAuthMode;
    case Channel:
        return ui->sbChannel;
    case Ssid:
        return ui->leSsid;
    case Password:
        return ui->leWifiPassword;
    case AddressType:
        return ui->cbAddressType;
    case Ip:
        return ui->leIp;
    case Netmask:
        return ui->leNetmask;
    case Gateway:
        return ui->leGateway;
    default:
        return ui->leDns;
    }
}

NetworkConfig::Settings MainWindow::shownNetworkSettings() const
{
    Settings settings;
    settings.wifiMode = ui->cbWifiMode->currentIndex();
    settings.authMode = ui->cbAuthMode->currentIndex();
    settings.channel = ui->sbChannel->value();
    settings.ssid = ui->leSsid->text();
    settings.password = ui->leWifiPassword->text();
    settings.addressType = ui->cbAddressType->currentIndex();
    for (int sub = Ip; sub <= Dns; ++sub)
        settings.addresses[sub - Ip] = static_cast<QLineEdit *>(networkField(sub))->text();
    return settings;
}

void MainWindow::showNetworkSetting(int sub, const NetworkConfig::Settings &settings)
{
    switch (sub) {
    case WifiMode:
        ui->cbWifiMode->setCurrentIndex(settings.wifiMode);
        break;
    case AuthMode:
        ui->cbAuthMode->setCurrentIndex(settings.authMode);
        break;
    case Channel:
        ui->sbChannel->setValue(settings.channel);
        break;
    case Ssid:
    case Password:
        static_cast<QLineEdit *>(networkField(sub))->setText(settings.text(sub));
        break;
    case AddressType:
        ui->cbAddressType->setCurrentIndex(settings.addressType);
        break;
    default:
        static_cast<QLineEdit *>(networkField(sub))->setText(settings.addresses[sub - Ip]);
        break;
    }
}

bool MainWindow::askYesNo(const QString &title, const QString &text)
{
    if (askQuestion)
        return askQuestion(title, text);
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// A setting the mode or the address type leaves out is not written, and
// its field is disabled.
void MainWindow::on_cbWifiMode_currentIndexChanged(int index)
{
    if (index < 0 || index >= WifiModeCount)
        return;
    for (int sub = AuthMode; sub <= Password; ++sub)
        networkField(sub)->setEnabled(isOffered(sub, index, 0));
}

void MainWindow::on_cbAddressType_currentIndexChanged(int index)
{
    for (int sub = Ip; sub <= Dns; ++sub)
        networkField(sub)->setEnabled(isOffered(sub, 0, index));
}

void MainWindow::on_btReadNetwork_clicked()
{
    if (refuseWhileBusy())
        return;
    networkSettings.read();
}

void MainWindow::on_btWriteNetwork_clicked()
{
    if (refuseWhileBusy())
        return;
    if (ui->cbAddressType->currentIndex() == 1) {
        const struct
        {
            QLineEdit *edit;
            const char *message;
        } fields[] = {
            {ui->leIp, "Please enter correct IP address"},
            {ui->leNetmask, "Please enter correct netmask address"},
            {ui->leGateway, "Please enter correct gateway address"},
            {ui->leDns, "Please enter correct DNS address"},
        };
        for (const auto &field : fields) {
            if (!hasFourParts(field.edit->text())) {
                QMessageBox::information(this, QStringLiteral("Waring"), QString::fromLatin1(field.message),
                                         QMessageBox::Ok);
                field.edit->setFocus();
                return;
            }
        }
    }
    if (ui->cbAuthMode->currentIndex() == 1 && ui->cbWifiMode->currentIndex() == 0) {
        QMessageBox::information(this, QStringLiteral("Waring"), QStringLiteral("WEP mode is not allowed for AP modew"),
                                 QMessageBox::Ok);
        ui->cbAuthMode->setFocus();
        return;
    }
    // A text that does not fit in one frame is reported and gets the focus.
    for (int sub : {int(Ssid), int(Password)}) {
        const QString tooLong = networkSettings.textTooLong(sub, shownNetworkSettings());
        if (!tooLong.isEmpty()) {
            QMessageBox::information(this, QStringLiteral("Waring"), tooLong, QMessageBox::Ok);
            networkField(sub)->setFocus();
            return;
        }
    }
    // What the tab shows replaces the reader's settings: settings never read
    // from this reader, or an open network where it had a secured one, are
    // written only on a yes.
    if (!networkReadDone
        && !askYesNo(QStringLiteral("Question"),
                     QStringLiteral("The network settings were not read from this reader: Write replaces its settings "
                                    "with what the tab shows. Write them?")))
        return;
    if (networkSettings.opensSecuredNetwork(shownNetworkSettings())
        && !askYesNo(QStringLiteral("Question"),
                     QStringLiteral("Write turns the reader's Wi-Fi into an open access point, without a password. "
                                    "Write all the same?")))
        return;

    networkSettings.write(shownNetworkSettings());
}

void MainWindow::on_btRestartDevice_clicked()
{
    if (refuseWhileBusy())
        return;
    if (!askYesNo(QStringLiteral("Question"), QStringLiteral("Do you really want to restart device?")))
        return;
    protocol.sendFrame({Command::Reboot});
}
