#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTimer>

#include "link/commandcodes.h"
#include "workflows/networkconfig.h"

// The "Network" tab: the reader's Wi-Fi and IP settings, read and written
// one "Network config" sub-command at a time. The sub-command echoed in each
// answer picks the next request.

using namespace NetworkConfig;

namespace {

constexpr int kArmMs = 1000;

// Only the widget's own state counts, not that of the tab around it.
bool selfEnabled(const QWidget *widget)
{
    return widget->isEnabledTo(widget->parentWidget());
}

const char *settingName(int sub)
{
    switch (sub) {
    case WifiMode:
        return "Wi-Fi mode";
    case AuthMode:
        return "authentication method";
    case Channel:
        return "channel";
    case Ssid:
        return "SSID";
    case Password:
        return "Wi-Fi password";
    case AddressType:
        return "address type";
    case Ip:
        return "IP address";
    case Netmask:
        return "netmask";
    case Gateway:
        return "gateway";
    case Dns:
        return "DNS server";
    default:
        return "setting";
    }
}

} // namespace

bool MainWindow::askYesNo(const QString &title, const QString &text)
{
    if (askQuestion)
        return askQuestion(title, text);
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::on_cbWifiMode_currentIndexChanged(int index)
{
    bool authAndChannel = false;
    bool ssidAndPassword = false;
    switch (index) {
    case 0:
        authAndChannel = ssidAndPassword = true;
        break;
    case 1:
        ssidAndPassword = true;
        break;
    case 2:
        break;
    default:
        return;
    }
    ui->cbAuthMode->setEnabled(authAndChannel);
    ui->sbChannel->setEnabled(authAndChannel);
    ui->leSsid->setEnabled(ssidAndPassword);
    ui->leWifiPassword->setEnabled(ssidAndPassword);
}

void MainWindow::on_cbAddressType_currentIndexChanged(int index)
{
    const bool staticAddress = index != 0;
    for (QLineEdit *edit : {ui->leIp, ui->leNetmask, ui->leGateway, ui->leDns})
        edit->setEnabled(staticAddress);
}

void MainWindow::on_btReadNetwork_clicked()
{
    if (refuseWhileBusy())
        return;
    logd(QStringLiteral("Reading network settings..."));
    beginRequest(NetworkRead, readRequest(WifiMode), kArmMs);
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
    for (int sub : {int(Ssid), int(Password)}) {
        if (!networkTextFits(sub, true))
            return;
    }
    // What the tab shows replaces the reader's settings: settings never read
    // from this reader, or an open network where it had a secured one, are
    // written only on a yes.
    if (!networkReadDone
        && !askYesNo(QStringLiteral("Question"),
                     QStringLiteral("The network settings were not read from this reader: Write replaces its settings "
                                    "with what the tab shows. Write them?")))
        return;
    const bool opensAccessPoint = ui->cbWifiMode->currentIndex() == 0 && ui->cbAuthMode->currentIndex() == 0;
    if (networkReadDone && opensAccessPoint && !(networkReadMode == 0 && networkReadAuth == 0)
        && !askYesNo(QStringLiteral("Question"),
                     QStringLiteral("Write turns the reader's Wi-Fi into an open access point, without a password. "
                                    "Write all the same?")))
        return;

    logd(QStringLiteral("Writing network settings..."));
    networkWritten.clear();
    beginRequest(NetworkWrite, writeRequest(WifiMode, QByteArray(1, char(ui->cbWifiMode->currentIndex()))), kArmMs);
}

// An SSID or password is written whole in one frame: 09, the sub-command and
// the text bytes. With warn, a text that does not fit is reported in a
// message box and gets the focus; a disabled field is not written and so
// always fits.
bool MainWindow::networkTextFits(int sub, bool warn)
{
    QLineEdit *edit = sub == Ssid ? ui->leSsid : ui->leWifiPassword;
    if (!selfEnabled(edit))
        return true;
    const int size = edit->text().toUtf8().size();
    const int limit = int(protocol.maxPayload()) - 2;
    if (size <= limit)
        return true;
    const QString text = QStringLiteral("The %1 is too long: %2 bytes, at most %3 can be written.")
                             .arg(QString::fromLatin1(settingName(sub)))
                             .arg(size)
                             .arg(limit);
    if (warn) {
        QMessageBox::information(this, QStringLiteral("Waring"), text, QMessageBox::Ok);
        edit->setFocus();
    } else {
        logd(text);
    }
    return false;
}

void MainWindow::networkSettingsAnswered(const QByteArray &data)
{
    if (data.isEmpty())
        return; // no sub-command: not an answer to our request
    const int sub = uint8_t(data.at(0));
    if (oneShotState == NetworkRead)
        networkReadAnswered(sub, data.mid(1));
    else if (oneShotState == NetworkWrite)
        networkWriteAnswered(sub);
}

void MainWindow::networkReadAnswered(int sub, const QByteArray &value)
{
    if (sub >= SubCount) {
        logd(QStringLiteral("Reading network done."));
        oneShotState = Idle;
        networkReadDone = true;
        networkReadMode = ui->cbWifiMode->currentIndex();
        networkReadAuth = ui->cbAuthMode->currentIndex();
        return;
    }

    // A value the widget cannot show is reported and the widget keeps what
    // it had, so a later write does not send something nobody chose.
    const auto unexpected = [&] {
        logd(QStringLiteral("Unexpected %1 in the answer (%2), the field is left unchanged.")
                 .arg(QString::fromLatin1(settingName(sub)), QString::fromLatin1(value.toHex(' ').toUpper())));
    };
    const auto setIndex = [&](QComboBox *box) {
        if (!value.isEmpty() && uint8_t(value.at(0)) < box->count())
            box->setCurrentIndex(uint8_t(value.at(0)));
        else
            unexpected();
    };
    switch (sub) {
    case WifiMode:
        setIndex(ui->cbWifiMode);
        break;
    case AuthMode:
        setIndex(ui->cbAuthMode);
        break;
    case Channel: {
        const int channel = value.isEmpty() ? -1 : uint8_t(value.at(0));
        if (channel >= ui->sbChannel->minimum() && channel <= ui->sbChannel->maximum())
            ui->sbChannel->setValue(channel);
        else
            unexpected();
        break;
    }
    case Ssid:
        ui->leSsid->setText(textValue(value));
        break;
    case Password:
        ui->leWifiPassword->setText(textValue(value));
        break;
    case AddressType:
        setIndex(ui->cbAddressType);
        break;
    default: {
        QLineEdit *edit = sub == Ip ? ui->leIp
            : sub == Netmask        ? ui->leNetmask
            : sub == Gateway        ? ui->leGateway
                                    : ui->leDns;
        if (value.size() >= 4)
            edit->setText(addressText(value));
        else
            unexpected();
        break;
    }
    }

    beginRequest(NetworkRead, readRequest(sub + 1), kArmMs);
}

bool MainWindow::networkSubEnabled(int sub) const
{
    switch (sub) {
    case AuthMode:
        return selfEnabled(ui->cbAuthMode);
    case Channel:
        return selfEnabled(ui->sbChannel);
    case Ssid:
        return selfEnabled(ui->leSsid);
    case Password:
        return selfEnabled(ui->leWifiPassword);
    case Ip:
        return selfEnabled(ui->leIp);
    case Netmask:
        return selfEnabled(ui->leNetmask);
    case Gateway:
        return selfEnabled(ui->leGateway);
    case Dns:
        return selfEnabled(ui->leDns);
    default:
        return true;
    }
}

// Which settings a write that stopped has changed on the reader and which
// it has not: the reader then holds new and old ones side by side.
QString MainWindow::networkWriteSummary() const
{
    if (oneShotState != NetworkWrite)
        return QString();
    QStringList written;
    for (int sub : networkWritten)
        written << QString::fromLatin1(settingName(sub));
    QStringList notWritten;
    const auto enabled = [this](int s) { return networkSubEnabled(s); };
    for (int sub = networkWritten.isEmpty() ? WifiMode : nextWriteSub(networkWritten.last(), enabled); sub >= 0;
         sub = nextWriteSub(sub, enabled))
        notWritten << QString::fromLatin1(settingName(sub));
    const auto list = [](const QStringList &names) {
        return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
    };
    return QStringLiteral("written: %1; not written: %2").arg(list(written), list(notWritten));
}

void MainWindow::networkWriteAnswered(int sub)
{
    networkWritten << sub;
    const auto enabled = [this](int s) { return networkSubEnabled(s); };
    const int next = nextWriteSub(sub, enabled);
    if (next < 0) {
        logd(QStringLiteral("Writing network done."));
        oneShotState = Idle;
        return;
    }
    // The values are taken now: edits made while the write runs count. A
    // text made too long meanwhile ends the write.
    if (isTextSub(next) && !networkTextFits(next, false)) {
        oneShotState = Idle;
        return;
    }

    QByteArray value;
    switch (next) {
    case AuthMode:
        value.append(char(ui->cbAuthMode->currentIndex()));
        break;
    case Channel:
        value.append(char(ui->sbChannel->value()));
        break;
    case Ssid:
        value = ui->leSsid->text().toUtf8();
        break;
    case Password:
        value = ui->leWifiPassword->text().toUtf8();
        break;
    case AddressType:
        value.append(char(ui->cbAddressType->currentIndex()));
        break;
    case Ip:
        value = addressBytes(ui->leIp->text());
        break;
    case Netmask:
        value = addressBytes(ui->leNetmask->text());
        break;
    case Gateway:
        value = addressBytes(ui->leGateway->text());
        break;
    default:
        value = addressBytes(ui->leDns->text());
        break;
    }
    beginRequest(NetworkWrite, writeRequest(next, value), kArmMs);
    logd(writeLogLine(next));
}

void MainWindow::on_btRestartDevice_clicked()
{
    if (refuseWhileBusy())
        return;
    if (!askYesNo(QStringLiteral("Question"), QStringLiteral("Do you really want to restart device?")))
        return;
    protocol.sendFrame({Command::Reboot});
}
