#include "link/readerstates.h"

QString ReaderStates::workflowName(Workflow workflow)
{
    switch (workflow) {
    case Workflow::FirmwareUpdate:
        return QStringLiteral("the firmware update");
    case Workflow::ChipUpdate:
        return QStringLiteral("the RFID chip update");
    case Workflow::Download:
        return QStringLiteral("the download of config.json");
    case Workflow::Upload:
        return QStringLiteral("the upload of config.json");
    case Workflow::NetworkSettings:
        return QStringLiteral("the network settings transfer");
    case Workflow::AddressTag:
        return QStringLiteral("the address tag operation");
    case Workflow::LoopTest:
        return QStringLiteral("the loop test");
    case Workflow::Rs485Scan:
        return QStringLiteral("the RS485 scan");
    case Workflow::Polling:
        return QStringLiteral("software polling");
    case Workflow::Restart:
        return QStringLiteral("the device restart");
    case Workflow::None:
        break;
    }
    return QString();
}
