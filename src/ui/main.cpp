// kitewell-sync: the desktop assistant that brings an album's originals to the desktop and
// the retouched versions back.

#include "platform/ProcessSetup.h"
#include "ui/CommandLine.h"
#include "ui/KitewellSyncApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    kitewell::setUpProcess();
    // Before the desktop is opened: printing the usage or the version needs no display.
    const kitewell::CommandLine command = kitewell::CommandLine::parse(argc, argv);
    if (command.action != kitewell::CommandLine::Action::Run)
        return command.report();
    // A widgets application, since the folder panel is a QFileDialog.
    QApplication application(argc, argv);
    kitewell::KitewellSyncApp app(application, {.hidden = command.hidden});
    return app.exec();
}
