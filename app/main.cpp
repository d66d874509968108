#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/gui/application.h"
#include "app/gui/command_wiring.h"
#include "app/gui/toolbar_icons.h"
#include "app/start_options.h"
#include "platform/system_info.h"

int main(int argc, char** argv) {
    const char* home = std::getenv("HOME");
    StartOptions options =
        ParseStartOptions(std::vector<std::string>(argv + 1, argv + argc), home ? home : "");
    if (!options.error.empty()) {
        std::fprintf(stderr, "velt-monitoring: %s\n%s", options.error.c_str(),
                     StartUsage(platform::ConfigurationDirectory()).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(StartUsage(platform::ConfigurationDirectory()).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("velt-monitoring %s\n", VELT_VERSION);
        return 0;
    }
    if (!options.working_dir.empty()) {
        if (int err = EnterWorkingDirectory(options.working_dir); err != 0) {
            std::fprintf(stderr, "velt-monitoring: cannot work in %s: %s\n",
                         options.working_dir.c_str(), std::strerror(err));
            return 1;
        }
    }
    // Qt sees the remaining arguments only.
    std::vector<char*> rest{argv[0]};
    for (std::string& a : options.rest) rest.push_back(a.data());
    int rest_count = static_cast<int>(rest.size());
    rest.push_back(nullptr);

    // The view sends the X server a small strip of the plot at every record. Through
    // shared memory, painting a strip the server may still be reading first waits for a
    // round trip to the server; sent with the request, the pixels wait for nothing.
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
    QApplication qt(rest_count, rest.data());
    QApplication::setApplicationName("VELT Monitoring");
    QApplication::setApplicationVersion(VELT_VERSION);
    QGuiApplication::setDesktopFileName("velt-monitoring");
    QApplication::setWindowIcon(ProgramIcon());
    CVELTMonitoringApp app;
    QStringList args = QApplication::arguments();
    args.removeFirst();
    if (!app.InitInstance(args)) return 1;
    WireSubsystemCommands(app);
    return QApplication::exec();
}
