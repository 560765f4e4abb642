#include "provision/provisiontarget.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

ProvisionTarget ProvisionTarget::parse(Kind kind, const QString &text, QString *error)
{
    ProvisionTarget target;
    target.kind = kind;
    target.text = text;
    error->clear();
    if (kind == Tcp) {
        static const QRegularExpression form(QStringLiteral("^([^:\\s]+)(?::(\\d{1,5}))?$"));
        const QRegularExpressionMatch match = form.match(text);
        const uint port = match.captured(2).isEmpty() ? 1234 : match.captured(2).toUInt();
        if (!match.hasMatch() || port == 0 || port > 65535) {
            *error = QStringLiteral("%1 is not HOST[:PORT]").arg(text);
            return target;
        }
        target.port = match.captured(1);
        target.tcpPort = quint16(port);
        return target;
    }
    static const QRegularExpression form(QStringLiteral("^([^:@\\s]+)(?::(\\d{1,7}))?(?:@([0-9A-Fa-f]{1,2}))?$"));
    const QRegularExpressionMatch match = form.match(text);
    const int baud = match.captured(2).isEmpty() ? 115200 : match.captured(2).toInt();
    const uint address = match.captured(3).isEmpty() ? 0 : match.captured(3).toUInt(nullptr, 16);
    if (!match.hasMatch() || baud <= 0 || (!match.captured(3).isEmpty() && address == 0)) {
        *error = QStringLiteral("%1 is not PORT[:BAUD][@ADDR] (ADDR 01 to FF in hex)").arg(text);
        return target;
    }
    target.port = match.captured(1);
    target.baudRate = baud;
    target.address = uint8_t(address);
    return target;
}

QList<ProvisionTarget> ProvisionTarget::readFile(const QString &path, QString *error)
{
    QList<ProvisionTarget> targets;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return targets;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        QString line = QString::fromUtf8(file.readLine());
        line = line.left(line.indexOf(QLatin1Char('#'))).trimmed();
        if (line.isEmpty())
            continue;
        const QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
        Kind kind = Serial;
        QString text = words.last();
        static const QRegularExpression comPort(QStringLiteral("^COM\\d+"), QRegularExpression::CaseInsensitiveOption);
        if (words.size() == 2 && (words.first() == QLatin1String("-t") || words.first() == QLatin1String("--tcp")))
            kind = Tcp;
        else if (words.size() == 2
                 && (words.first() == QLatin1String("-p") || words.first() == QLatin1String("--port")))
            kind = Serial;
        else if (words.size() != 1) {
            *error = QStringLiteral("%1:%2: one target a line").arg(path).arg(lineNumber);
            return {};
        } else if (!text.contains(QLatin1Char('/')) && !comPort.match(text).hasMatch())
            kind = Tcp;
        const ProvisionTarget target = parse(kind, text, error);
        if (!error->isEmpty()) {
            *error = QStringLiteral("%1:%2: %3").arg(path).arg(lineNumber).arg(*error);
            return {};
        }
        targets << target;
    }
    return targets;
}
