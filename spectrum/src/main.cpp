// Revaduvo: the measurement program.

#include "fmmain.h"
#include "mispecdataset.h"

#include "pa/forms.h"
#include "pa/pafactory.h"
#include "pa/palog.h"
#include "pa/sysutils.h"

#include <QApplication>

#include <exception>

namespace {

// Exceptions that leave an event handler end up here instead of ending the
// program: logged and shown, as the class library's application did.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const pa::Exception& e) {
            pa::logPrint("execption\n");
            pa::applicationMessageBox(e.message(), "Revaduvo", pa::kMbIconError);
        } catch (const std::exception&) {
            pa::logPrint("execption\n");
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    pa::openLogFile("logfile.log");
    pa::initFactory();
    try {
        mi::registerDataList();
        TApplication app(argc, argv);
        spectrum::TfmMain fmMain(app.arguments().mid(1));
        fmMain.show();
        app.exec();
    } catch (const pa::Exception& e) {
        pa::logPrint("execption\n");
        pa::applicationMessageBox(e.message(), "Revaduvo", pa::kMbIconError);
    } catch (const std::exception&) {
        pa::logPrint("execption\n");
    }
    return 0;
}
