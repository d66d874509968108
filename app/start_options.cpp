#include "app/start_options.h"

#include <unistd.h>

#include <cerrno>

#include "platform/system_info.h"

StartOptions ParseStartOptions(const std::vector<std::string>& args, const std::string& home) {
    StartOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--working-dir") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                o.error = "--working-dir needs a folder";
                return o;
            }
            o.working_dir = args[++i];
            // Desktop entries cannot expand "~" themselves.
            if (o.working_dir == "~" || o.working_dir.rfind("~/", 0) == 0) {
                if (home.empty()) {
                    o.error = "--working-dir: no home folder for " + o.working_dir;
                    return o;
                }
                o.working_dir.replace(0, 1, home);
            }
        } else {
            o.rest.push_back(a);
        }
    }
    return o;
}

int EnterWorkingDirectory(const std::string& dir) {
    if (int err = platform::CreateDirectories(dir); err != 0) return err;
    return chdir(dir.c_str()) == 0 ? 0 : errno;
}

std::string StartUsage(const std::string& configuration_dir) {
    return "usage: velt-monitoring [--working-dir DIR] [Qt options] [DOCUMENT | SESSION]\n"
           "  --working-dir DIR  start in DIR (made when missing; \"~/\" is the home folder),\n"
           "                     where the diagnostic logs and gifFile.gif are written\n"
           "  --version          print the version\n"
           "  SESSION            a recorded session (capture file) opens in a review window\n"
           "Settings and the COM port map: " +
           configuration_dir + "\n";
}
