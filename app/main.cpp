#include <QApplication>
#include <QStringList>

#include "app/gui/application.h"
#include "app/gui/command_wiring.h"

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName("VELT Monitoring");
    CVELTMonitoringApp app;
    QStringList args = QApplication::arguments();
    args.removeFirst();
    if (!app.InitInstance(args)) return 1;
    WireSubsystemCommands(app);
    return QApplication::exec();
}
