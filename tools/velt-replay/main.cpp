#include <cstdio>
#include <string>
#include <vector>

#include "tools/velt-replay/replay_tool.h"

int main(int argc, char** argv) {
    return velt_replay::RunVeltReplay(std::vector<std::string>(argv + 1, argv + argc), stderr);
}
