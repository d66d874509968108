// The broker options every program that connects takes alike, on its command line
// ("--broker URL", "--ca-file F", …) and in its INI file ("broker", "ca_file", …), so
// that the ward and the gateway read them one way. Qt-free.
#pragma once

#include <string>
#include <string_view>

#include "export/mqtt_client.h"

namespace mqtt {

// The usage lines of the options, for a program's --help.
extern const char* const kBrokerOptionsUsage;

// The field a command-line option sets ("--broker" -> url), or nullptr for another.
std::string* BrokerOptionField(BrokerOptions* options, std::string_view option);

// Reads the options' keys from section of the INI file at path; keys missing stay.
void ReadBrokerOptions(const char* section, const std::string& path, BrokerOptions* options);
// Writes them; false when the file could not be written.
bool WriteBrokerOptions(const char* section, const std::string& path, const BrokerOptions& options);

}  // namespace mqtt
