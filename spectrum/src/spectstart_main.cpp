// revaduvo-spectstart: asks the running Revaduvo of this user to take a
// spectrum ("SpectStart"). Exits 0 when it took one; 1 when no Revaduvo of
// this user could be reached; 3 when it answered but took none (busy, no
// device open, the legacy page, a failed acquisition), saying why.

#include "spectstart.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().size() > 1) {
        std::fprintf(stderr, "usage: revaduvo-spectstart\n");
        return 2;
    }
    QString error;
    const int status = spectrum::sendSpectStart(spectrum::spectStartServerName(), 2000, error);
    if (status != 0) {
        std::fprintf(stderr, "revaduvo-spectstart: %s\n", error.toLocal8Bit().constData());
    }
    return status;
}
