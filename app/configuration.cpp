// Interim until the configuration module lands.
#include "app/configuration.h"

#include <mutex>

namespace config {
namespace {
std::mutex g_mutex;
std::string g_path;
}  // namespace

std::string ConfigPath() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_path;
}
void SetConfigPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_path = path;
}
std::string InitConfigurationPath(const std::string& program_dir) {
    SetConfigPath(program_dir + "/configuration/VELTMonitoring.ini");
    return ConfigPath();
}
ConnectionSettings ReadConnectionSettings() { return {"COM1", 1, true}; }
int SaveSettings(ILinkView&, const char*, int, bool) { return 0; }
void LoadDocumentation(ILinkView&) {}

}  // namespace config
