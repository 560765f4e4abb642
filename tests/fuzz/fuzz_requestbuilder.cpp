// The request builder on any command and any field texts.
//
// Input: a selector byte. With its top bit clear the next byte picks an entry
// of the embedded catalogue (modulo its size) and the rest are the field
// texts, one per line (UTF-8); bit 5 passes the hexadecimal ones through the
// fields' validator first, as the parameter form does. With the top bit set the text
// up to the first zero byte is taken as the command object itself (JSON), and
// the field texts follow it. A built request starts with the command code,
// fits a request, and a refusal names one of the command's arguments.

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "console/catalogue.h"
#include "console/hexvalidator.h"
#include "console/requestbuilder.h"
#include "fuzzsupport.h"

// The resources live in the core library; the initialiser is declared
// outside any namespace.
static void initCoreResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

const QJsonArray &catalogue()
{
    static const QJsonArray entries = [] {
        initCoreResources();
        return readCommandCatalogue();
    }();
    return entries;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initCore();
    FUZZ_CHECK(!catalogue().isEmpty(), QStringLiteral("empty catalogue"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::Input in(data, size);
    const uint8_t selector = in.byte();
    QJsonObject command;
    if (selector & 0x80) {
        QByteArray json;
        while (!in.empty()) {
            const uint8_t b = in.byte();
            if (b == 0)
                break;
            json.append(char(b));
        }
        command = QJsonDocument::fromJson(json).object();
    } else {
        command = catalogue().at(int(in.byte()) % catalogue().size()).toObject();
    }

    const QJsonArray args = command.value(QStringLiteral("args")).toArray();
    QStringList texts;
    while (!in.empty())
        texts << QString::fromUtf8(in.line(4096));
    if (!(selector & 0x80) && (selector & 0x20)) {
        HexValidator validator;
        for (int i = 0; i < texts.size() && i < args.size(); ++i)
            if (args.at(i).toObject().value(QStringLiteral("type")).toString().toLower() == QLatin1String("hex"))
                validator.fixup(texts[i]);
    }

    const RequestBuildResult result = RequestBuilder::build(command, texts);
    const QString detail = QStringLiteral("command %1, fields [%2], payload %3, failed %4")
                               .arg(QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact)),
                                    texts.join(QStringLiteral("|")), QString::fromLatin1(result.payload.toHex(' ')))
                               .arg(result.failedArgument);
    FUZZ_CHECK(result.ok() == (result.failedArgument == -1), detail);
    if (result.ok()) {
        FUZZ_CHECK(!result.payload.isEmpty(), detail);
        FUZZ_CHECK(uint8_t(result.payload.at(0)) == uint8_t(command.value(QStringLiteral("value")).toInt() & 0xFF),
                   detail);
        FUZZ_CHECK(result.payload.size() <= RequestBuilder::MaxPayload, detail);
    } else {
        FUZZ_CHECK(result.failedArgument >= 0 && result.failedArgument < args.size(), detail);
    }
    return 0;
}
