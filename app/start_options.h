// The program's own command-line options, read before the window system starts so
// that --help and --version work without a display. Qt-free.
#pragma once

#include <string>
#include <vector>

struct StartOptions {
    bool help = false;
    bool version = false;
    std::string working_dir;        // --working-dir DIR, "~/" expanded; empty: stay
    std::vector<std::string> rest;  // everything else, in order (Qt's options, a file)
    std::string error;              // a bad option; the program then stops with status 2
};

// args without the program name; home replaces a leading "~" of the working folder.
StartOptions ParseStartOptions(const std::vector<std::string>& args, const std::string& home);

// Makes dir (with any missing parents) and changes into it. Returns 0 or the errno value.
int EnterWorkingDirectory(const std::string& dir);

// The --help text, naming the configuration directory in force.
std::string StartUsage(const std::string& configuration_dir);
