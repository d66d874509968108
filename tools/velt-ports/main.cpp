#include <cstdio>
#include <string>
#include <vector>

#include "tools/velt-ports/ports.h"

int main(int argc, char** argv) {
    return velt_ports::RunPortsTool(std::vector<std::string>(argv + 1, argv + argc), {}, stdout,
                                    stderr);
}
