// kitewell-sync: the desktop assistant that brings an album's originals to the desktop and
// the retouched versions back.

#include "platform/Allocator.h"
#include "ui/KitewellSyncApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    kitewell::configureAllocator();
    // A widgets application, since the folder panel is a QFileDialog.
    QApplication application(argc, argv);
    kitewell::KitewellSyncApp app(application, {.arguments = QCoreApplication::arguments().mid(1)});
    return app.exec();
}
