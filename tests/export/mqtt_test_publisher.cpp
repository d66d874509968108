// A monitor's connection that runs until it is killed, for the last-will test:
//   mqtt_test_publisher URL PASSWORD_FILE STATE_TOPIC
#include <unistd.h>

#include <cstdio>
#include <string>

#include "export/mqtt_client.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    mqtt::BrokerOptions o;
    o.url = argv[1];
    o.username = "monitor";
    o.password_file = argv[2];
    o.keepalive_s = 5;
    mqtt::Client monitor(o);
    monitor.SetStateTopic(argv[3]);
    std::string error;
    if (!monitor.Start(&error)) {
        std::fprintf(stderr, "mqtt_test_publisher: %s\n", error.c_str());
        return 1;
    }
    for (;;) pause();
}
