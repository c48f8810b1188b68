// The program's command line: the input split at NUL bytes into arguments
// after the program name.

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <string>

#include "app/CommandLine.h"
#include "fuzz/FuzzScratch.h"
#include "platform/usbio/InstrumentId.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QStringList arguments{QStringLiteral("kestrup")};
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            if (i > start || i < size) {
                // As the program takes them: byte for byte.
                const std::string bytes(reinterpret_cast<const char*>(data + start), i - start);
                arguments.append(CommandLine::FromBytes(bytes.c_str()));
                if (CommandLine::Bytes(arguments.last()) != bytes) {
                    fuzzsupport::Violation("an argument did not keep its bytes");
                }
            }
            start = i + 1;
        }
    }
    CommandLine line;
    QString error;
    if (line.Parse(arguments, error)) {
        if (line.history < 0) {
            fuzzsupport::Violation("a negative history count was accepted");
        }
        platform::usbio::InstrumentId id;
        std::string why;
        for (const QString& given : {line.instrument, line.station}) {
            if (!given.isEmpty() &&
                !platform::usbio::InstrumentId::Parse(given.toStdString(), id, why)) {
                fuzzsupport::Violation("an instrument ID that is none was accepted");
            }
        }
    } else if (error.isEmpty()) {
        fuzzsupport::Violation("a refused command line without a message");
    }
    return 0;
}
