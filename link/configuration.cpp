#include "link/configuration.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

#include "link/link_view.h"
#include "platform/debug_output.h"
#include "platform/profile.h"
#include "platform/system_info.h"

namespace config {
namespace {

std::mutex g_mutex;
std::string g_path;

constexpr size_t kReadBuffer = 256;  // at most 255 characters of a value are used
constexpr int kFieldBuffer = 255;    // at most 254 characters of a field are saved

struct DocumentationKey {
    const char* key;
    ViewField field;
};
constexpr DocumentationKey kDocumentation[] = {{"operator", DocOperator},
                                               {"serial", DocSerial},
                                               {"sensor", DocSensor},
                                               {"comment", DocComment}};

std::string ReadString(const char* section, const char* key, const char* default_value,
                       const std::string& path) {
    char buf[kReadBuffer];
    size_t n =
        platform::GetPrivateProfileString(section, key, default_value, buf, sizeof buf, path);
    return std::string(buf, n);
}

// The last complete UTF-8 character at or before max bytes, so a cut never leaves
// half a character behind.
std::string Truncate(std::string s, size_t max) {
    if (s.size() <= max) return s;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
    return s;
}

// Returns 1 on success, else the errno value; a failure is traced and the caller goes on.
int Write(const char* section, const char* key, const char* value, const std::string& path) {
    if (platform::WritePrivateProfileString(section, key, value, path)) return 1;
    int err = errno != 0 ? errno : EIO;
    platform::DebugPrintf("*** SaveSettings: writing %s/%s failed, error %i\n", section, key, err);
    return err;
}

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
    std::string base = program_dir.empty() ? std::string(".") : program_dir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    const std::string dir = platform::ConfigurationDirectoryFor(base);
    const bool beside =
        dir == (base == "/" ? std::string("/configuration") : base + "/configuration");
    // Beside the program only the one level is made; the per-user folder may need its
    // parents, private to the user as the base directory convention asks.
    int err =
        beside ? platform::CreateDirectoryIfMissing(dir) : platform::CreateDirectories(dir, 0700);
    if (err != 0) {
        platform::OutputDebugString("Error creating configuration directoy.\n");
    }
    SetConfigPath(dir + "/VELTMonitoring.ini");
    return ConfigPath();
}

ConnectionSettings ReadConnectionSettings() {
    const std::string path = ConfigPath();
    ConnectionSettings s;
    s.port = Truncate(ReadString("connection", "port", "COM1", path), kMaxPortLength);
    s.protocol = platform::GetPrivateProfileInt("connection", "protocol", 1, path);
    if (s.protocol < 1 || s.protocol > 3) s.protocol = 1;
    s.reconnect = platform::GetPrivateProfileInt("connection", "reconnect", 1, path) != 0;
    s.heartbeat = platform::GetPrivateProfileInt("sound", "heartbeat", 1, path) == 1;
    return s;
}

RecordingSettings ReadRecordingSettings() {
    const std::string path = ConfigPath();
    RecordingSettings s;
    s.enabled = platform::GetPrivateProfileInt("recording", "enabled", 1, path) != 0;
    const int mb = platform::GetPrivateProfileInt("recording", "max_mb", 0, path);
    s.max_mb = mb > 0 ? static_cast<uint64_t>(mb) : kDefaultSessionFolderMb;
    return s;
}

int SaveSettings(ILinkView& view, const char* port, int protocol, bool heartbeat,
                 int* first_error) {
    const std::string path = ConfigPath();
    int result = 0;
    int failure = 0;
    auto write = [&](const char* section, const char* key, const char* value) {
        result = Write(section, key, value, path);
        if (result != 1 && failure == 0) failure = result;
    };
    for (const DocumentationKey& doc : kDocumentation) {
        char text[kFieldBuffer] = {};
        view.GetFieldText(doc.field, text, kFieldBuffer);
        text[kFieldBuffer - 1] = 0;
        write("documentation", doc.key, text);
    }
    write("connection", "port", port ? port : "");
    char number[16];
    std::snprintf(number, sizeof number, "%i", protocol);
    write("connection", "protocol", number);
    std::snprintf(number, sizeof number, "%i", heartbeat ? 1 : 0);
    write("sound", "heartbeat", number);
    if (first_error != nullptr) *first_error = failure;
    return result;
}

void LoadDocumentation(ILinkView& view) {
    const std::string path = ConfigPath();
    for (const DocumentationKey& doc : kDocumentation) {
        std::string text = ReadString("documentation", doc.key, "", path);
        view.SetFieldText(doc.field, text.c_str());
        view.SetFieldModified(doc.field, false);
    }
}

PublishSettings ReadPublishSettings() {
    const std::string path = ConfigPath();
    PublishSettings s;
    s.enabled = platform::GetPrivateProfileInt("publish", "enabled", 0, path) != 0;
    s.broker = platform::GetPrivateProfileString("publish", "broker", "", path);
    s.ca_file = platform::GetPrivateProfileString("publish", "ca_file", "", path);
    s.cert_file = platform::GetPrivateProfileString("publish", "cert_file", "", path);
    s.key_file = platform::GetPrivateProfileString("publish", "key_file", "", path);
    s.username = platform::GetPrivateProfileString("publish", "username", "", path);
    s.password_file = platform::GetPrivateProfileString("publish", "password_file", "", path);
    s.monitor = platform::GetPrivateProfileString("publish", "monitor", "", path);
    s.waveform = platform::GetPrivateProfileInt("publish", "waveform", 0, path) != 0;
    s.keepalive = platform::GetPrivateProfileInt("publish", "keepalive", 10, path);
    return s;
}

bool WritePublishSettings(const PublishSettings& s) {
    const std::string path = ConfigPath();
    const std::string keepalive = std::to_string(s.keepalive);
    const std::pair<const char*, const char*> keys[] = {{"enabled", s.enabled ? "1" : "0"},
                                                        {"broker", s.broker.c_str()},
                                                        {"ca_file", s.ca_file.c_str()},
                                                        {"cert_file", s.cert_file.c_str()},
                                                        {"key_file", s.key_file.c_str()},
                                                        {"username", s.username.c_str()},
                                                        {"password_file", s.password_file.c_str()},
                                                        {"monitor", s.monitor.c_str()},
                                                        {"waveform", s.waveform ? "1" : "0"},
                                                        {"keepalive", keepalive.c_str()}};
    bool ok = true;
    for (const auto& [key, value] : keys)
        if (Write("publish", key, value, path) != 1) ok = false;
    return ok;
}

}  // namespace config
