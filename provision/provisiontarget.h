#pragma once

#include <QList>
#include <QString>
#include <cstdint>

// A reader named on the command line or in a targets file:
//   PORT[:BAUD][@ADDR]   a serial port (BAUD 115200 when left out; ADDR an
//                        RS485 address in hex)
//   HOST[:PORT]          a reader on the network (PORT 1234 when left out)
struct ProvisionTarget
{
    enum Kind {
        Serial,
        Tcp
    };
    Kind kind = Serial;
    QString text; // as given: the name in the report
    QString port; // the serial port, or the host
    qint32 baudRate = 115200;
    uint8_t address = 0; // RS485; 0: none
    quint16 tcpPort = 1234;

    // Empty error when text is a target of that kind.
    static ProvisionTarget parse(Kind kind, const QString &text, QString *error);
    // One target per line, "-p PORT..." or "-t HOST..." (the option may be
    // left out: a name with a '/' or COMn is a serial port, anything else
    // a host); '#' starts a comment.
    static QList<ProvisionTarget> readFile(const QString &path, QString *error);
};
