#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>

#include "common/readertext.h"
#include "console/versioninfo.h"

// The session routes every frame (link/readersession.cpp); what the reader
// reports is shown here.
void MainWindow::binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    session.frameComplete(header, hlen, buff, len);
}

// Which buttons a reader is offered follows from whether it is an R5, even
// when the number in its version text cannot be read; only the RFID
// configuration of an R4 and the device log need that number.
void MainWindow::versionReported(const QString &text)
{
    statusDetailLabel->setText(QStringLiteral("Version:") + oneLine(text));
    const VersionInfo version = VersionInfo::parse(text);
    if (version.r5) {
        ui->btPollingConfiguration->show();
        ui->btPNUpdate->hide();
    } else {
        ui->btPollingConfiguration->setVisible(version.showsRfidConfiguration());
        ui->btPNUpdate->show();
    }
}
