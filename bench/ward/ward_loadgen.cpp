// A light load for velt-ward: N monitors on one broker connection, each with its
// retained online state and its values once a second (spread over the second), and
// optionally a plethysmogram chunk four times a second. Runs for the given seconds.
//   ward_loadgen URL MONITORS SECONDS [--pleth] [--username U --password-file F]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "export/second_values.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: ward_loadgen URL MONITORS SECONDS [--pleth] [--username U "
                     "--password-file F]\n");
        return 2;
    }
    mqtt::BrokerOptions o;
    o.url = argv[1];
    const int monitors = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    bool pleth = false;
    for (int i = 4; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pleth") pleth = true;
        if (a == "--username" && i + 1 < argc) o.username = argv[++i];
        if (a == "--password-file" && i + 1 < argc) o.password_file = argv[++i];
    }
    mqtt::Client client(o, static_cast<size_t>(monitors) * 8 + 64);
    std::string error;
    if (!client.Start(&error)) {
        std::fprintf(stderr, "ward_loadgen: %s\n", error.c_str());
        return 1;
    }
    for (int i = 0; i < 500 && !client.Connected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto now_us = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    std::vector<std::string> names;
    for (int m = 0; m < monitors; ++m) {
        char name[32];
        std::snprintf(name, sizeof name, "load-%04d", m);
        names.emplace_back(name);
        client.Publish(mqtt::Topic(name, "COM1", mqtt::Leaf::kState),
                       mqtt::StateJson(true, now_us()), mqtt::Delivery::kState);
    }
    data_export::SecondValues v;
    v.spo2 = "97.0";
    v.pulse = "72.0";
    v.perfusion = "1.20";
    v.status = "OK";
    v.link = data_export::LinkState::kConnected;
    std::string json;
    uint16_t samples[13];
    const auto start = std::chrono::steady_clock::now();
    const int steps = 4;  // quarter seconds
    for (int tick = 0; tick < seconds * steps; ++tick) {
        for (int m = 0; m < monitors; ++m) {
            // Spread each quarter's messages over it, as independent monitors would.
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(static_cast<int64_t>(tick) * 250000 +
                                                  static_cast<int64_t>(m) * 250000 / monitors));
            if (m % steps == tick % steps) {
                v.unix_us = now_us();
                v.frames = static_cast<uint64_t>(tick) * 12;
                mqtt::ValuesJson(v, json);
                client.Publish(
                    mqtt::Topic(names[static_cast<size_t>(m)], "COM1", mqtt::Leaf::kValues), json,
                    mqtt::Delivery::kValue);
            }
            if (pleth) {
                for (int s = 0; s < 13; ++s)
                    samples[s] = static_cast<uint16_t>(30000 + 2000 * ((tick * 13 + s) % 50 < 15));
                mqtt::PlethJson(now_us(), 50, samples, 13, json);
                client.Publish(
                    mqtt::Topic(names[static_cast<size_t>(m)], "COM1", mqtt::Leaf::kPleth), json,
                    mqtt::Delivery::kValue);
            }
        }
    }
    std::printf("sent %llu, dropped %llu\n", static_cast<unsigned long long>(client.Sent()),
                static_cast<unsigned long long>(client.Dropped()));
    return 0;
}
