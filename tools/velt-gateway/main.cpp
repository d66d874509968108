// velt-gateway: the ward's values and alarms to a hospital's HL7 interface engine.
#include <csignal>
#include <cstdio>

#include "tools/velt-gateway/gateway.h"

namespace {
std::atomic<bool> g_stop{false};
void OnStop(int) { g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, OnStop);
    std::signal(SIGINT, OnStop);
    std::signal(SIGPIPE, SIG_IGN);
    gateway::Options options;
    const int status = gateway::ParseOptions(argc, argv, &options);
    if (status != 0) return status < 0 ? 0 : status;
    gateway::Gateway g(options);
    std::string error;
    if (!g.Run(g_stop, &error)) {
        std::fprintf(stderr, "velt-gateway: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
