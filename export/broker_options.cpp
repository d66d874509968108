#include "export/broker_options.h"

#include "platform/profile.h"

namespace mqtt {

namespace {

struct Option {
    const char* flag;
    const char* key;
    std::string BrokerOptions::*field;
};
constexpr Option kOptions[] = {
    {"--broker", "broker", &BrokerOptions::url},
    {"--ca-file", "ca_file", &BrokerOptions::ca_file},
    {"--cert-file", "cert_file", &BrokerOptions::cert_file},
    {"--key-file", "key_file", &BrokerOptions::key_file},
    {"--username", "username", &BrokerOptions::username},
    {"--password-file", "password_file", &BrokerOptions::password_file},
};

}  // namespace

const char* const kBrokerOptionsUsage =
    "  --broker URL         mqtt://host[:port] or mqtts://host[:port]\n"
    "  --ca-file F          the broker's CA certificate (mqtts; the system's when missing)\n"
    "  --cert-file F        client certificate, with --key-file F\n"
    "  --username U         user name at the broker\n"
    "  --password-file F    file whose first line is the password\n";

std::string* BrokerOptionField(BrokerOptions* options, std::string_view option) {
    for (const Option& o : kOptions)
        if (option == o.flag) return &(options->*o.field);
    return nullptr;
}

void ReadBrokerOptions(const char* section, const std::string& path, BrokerOptions* options) {
    for (const Option& o : kOptions) {
        std::string v = platform::GetPrivateProfileString(section, o.key, "", path);
        if (!v.empty()) options->*o.field = std::move(v);
    }
}

bool WriteBrokerOptions(const char* section, const std::string& path,
                        const BrokerOptions& options) {
    bool ok = true;
    for (const Option& o : kOptions)
        ok =
            platform::WritePrivateProfileString(section, o.key, (options.*o.field).c_str(), path) &&
            ok;
    return ok;
}

}  // namespace mqtt
