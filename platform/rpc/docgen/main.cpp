// tethra-bus-doc TEMPLATE OUTPUT: writes the bus API document generated from TEMPLATE
// (see bus_doc.h). Exit code 0, or 1 with the reason on standard error.
#include "platform/rpc/docgen/bus_doc.h"

#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: tethra-bus-doc TEMPLATE OUTPUT\n");
        return 1;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tethra-bus-doc: cannot read %s\n", argv[1]);
        return 1;
    }
    QString document, error;
    if (!platform::rpc::render_bus_doc(QString::fromUtf8(in.readAll()), &document, &error)) {
        std::fprintf(stderr, "tethra-bus-doc: %s: %s\n", argv[1], qPrintable(error));
        return 1;
    }
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(document.toUtf8()) < 0) {
        std::fprintf(stderr, "tethra-bus-doc: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
