// The configuration file VELTMonitoring.ini: its path, the
// connection keys read at view construction, and the writes of a save. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class ILinkView;

namespace config {

// Start-up: the configuration directory of a program in program_dir is created
// ("<program_dir>/configuration" in a build tree, the per-user one for an installed
// program: platform::ConfigurationDirectoryFor). An existing directory is fine; any
// other failure writes "Error creating configuration directoy.\n" to the debugger
// output and start-up goes on. The path of VELTMonitoring.ini inside it becomes the
// configuration path. Returns that path.
std::string InitConfigurationPath(const std::string& program_dir);

// The path in force; empty before InitConfigurationPath. Tests may set it directly.
std::string ConfigPath();
void SetConfigPath(const std::string& path);

// The link holds a port name of at most 31 characters; a longer configured name is
// cut to its first 31 (never inside a UTF-8 character).
constexpr size_t kMaxPortLength = 31;

struct ConnectionSettings {
    std::string port;  // at most 31 characters used; default "COM1"
    int protocol;      // 1..3; anything else read as 1
    bool heartbeat;    // on exactly when the value read is 1
    bool reconnect;    // connection/reconnect: off exactly when the value read is 0
};

// connection/port, connection/protocol, connection/reconnect (1 when missing; a save
// never writes it), sound/heartbeat with their defaults.
ConnectionSettings ReadConnectionSettings();

// The sessions folder's bound when the configuration has none, in MiB: about a week
// of protocol 2 around the clock (34.7 MB an hour, 834 MB a day), eighteen nights of
// ten hours; ten days of protocol 1 (25.3 MB an hour).
inline constexpr uint64_t kDefaultSessionFolderMb = 6144;

struct RecordingSettings {
    bool enabled;     // recording/enabled: off exactly when the value read is 0
    uint64_t max_mb;  // recording/max_mb: kDefaultSessionFolderMb when missing or not above 0
};

// recording/enabled (1 when missing) and recording/max_mb (kDefaultSessionFolderMb);
// read only, a save never writes them.
RecordingSettings ReadRecordingSettings();

// The link's SaveSettings: the four documentation fields (at most 254 characters
// each), then port, protocol ("%i") and heartbeat ("%i" as 1 or 0). A failed write
// does not stop the sequence; each failure is traced to the debugger output. Returns
// the result of the last write: 1 on success, else the errno value of that failure.
// first_error, when given, receives 0 when all seven writes succeeded, else the errno
// value of the first failure, so a caller can tell a partial save from a whole one.
int SaveSettings(ILinkView& view, const char* port, int protocol, bool heartbeat,
                 int* first_error = nullptr);

// The link's LoadDocumentation: reads operator, serial, sensor, comment into the
// documentation fields and clears each field's modified flag afterwards.
void LoadDocumentation(ILinkView& view);

// The [publish] section: publishing to an MQTT broker. A password is never stored
// here, only the file that holds it.
struct PublishSettings {
    bool enabled = false;  // publish/enabled, 0 when missing
    std::string broker;    // mqtt://host:port or mqtts://host:port
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string username;
    std::string password_file;
    std::string monitor;    // empty: the host name
    bool waveform = false;  // publish/waveform, 0 when missing
    int keepalive = 10;     // seconds, 10 when missing
};
PublishSettings ReadPublishSettings();
// Writes every key; false (errno set) when a write failed.
bool WritePublishSettings(const PublishSettings& s);

}  // namespace config
