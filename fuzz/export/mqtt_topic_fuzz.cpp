// Topics as the ward receives them from the broker, from anyone who may publish: a
// topic is read or refused, never overrun, and its names, unescaped for display and
// escaped again, always make a valid topic level that reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "export/mqtt_topics.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "mqtt_topic_fuzz: %s\n", what);
    std::abort();
}

void RoundTrip(std::string_view level) {
    const std::string shown = mqtt::UnescapeTopicName(level);
    const std::string escaped = mqtt::EscapeTopicName(shown);
    if (!mqtt::ValidTopicName(escaped)) Fail("an escaped name is not a valid topic level");
    // An empty name stands as "_" (a host without a name), the one name not read back.
    if (!shown.empty() && mqtt::UnescapeTopicName(escaped) != shown)
        Fail("escaping does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view topic(reinterpret_cast<const char*>(data), size);
    mqtt::TopicParts parts;
    if (mqtt::ParseTopic(topic, &parts)) {
        if (parts.monitor.empty() || parts.port.empty()) Fail("an empty level was taken");
        RoundTrip(parts.monitor);
        RoundTrip(parts.port);
    }
    RoundTrip(topic);
    return 0;
}
