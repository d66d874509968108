// A monitor's connection that runs until it is killed, for the last-will test:
//   mqtt_test_publisher URL PASSWORD_FILE STATE_TOPIC
// or a flood below PREFIX for SECONDS (100 MB, then 1 MB on every leaf, 6 kB values,
// valid values "AA"), then valid values "AAA" until killed:
//   mqtt_test_publisher URL PASSWORD_FILE --flood PREFIX SECONDS
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "export/mqtt_client.h"

namespace {

std::string Values(size_t status_bytes) {
    return R"({"time":null,"spo2":{"value":97},"status":")" + std::string(status_bytes, 'A') +
           "\"}";
}

int Flood(mqtt::Client& c, const std::string& prefix, int seconds) {
    using mqtt::Delivery;  // QoS 1: kept until the broker has them
    c.Publish(prefix + "/values", Values(100 << 20), Delivery::kEvent);
    const char* leaves[] = {"/values", "/state", "/events", "/pleth"};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        c.Publish(prefix + leaves[i % 4], Values(1 << 20), Delivery::kEvent);
        c.Publish(prefix + "/values", Values(6000), Delivery::kEvent);
        c.Publish(prefix + "/values", Values(2), Delivery::kEvent);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (;;) {
        c.Publish(prefix + "/values", Values(3), Delivery::kEvent);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool flood = argc == 6 && std::string(argv[3]) == "--flood";
    if (argc != 4 && !flood) return 2;
    mqtt::BrokerOptions o;
    o.url = argv[1];
    o.username = "monitor";
    o.password_file = argv[2];
    o.keepalive_s = 5;
    mqtt::Client monitor(o);
    if (!flood) monitor.SetStateTopic(argv[3]);
    std::string error;
    if (!monitor.Start(&error)) {
        std::fprintf(stderr, "mqtt_test_publisher: %s\n", error.c_str());
        return 1;
    }
    if (flood) return Flood(monitor, argv[4], std::atoi(argv[5]));
    for (;;) pause();
}
