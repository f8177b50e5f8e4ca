// The command line: the plain update, "diag", and the switches for scripts.
#pragma once

namespace qdp {

struct RunOptions {
    bool help = false;
    bool version = false;
    bool list = false;            // --list: the connected recorders, one line each
    bool json = false;            // with --list or --all: one JSON document
    bool all = false;             // --all: every connected recorder at once
    bool yes = false;             // --yes: every consent given, no key read
    bool verify = false;          // --verify: read back what is written (or, listing, compare)
    const char* device = nullptr; // --device PATH: that recorder only
    bool diag = false;            // the one plain argument is "diag"
};

// False when the words make no sense together, or a switch is unknown.
[[nodiscard]] bool ParseOptions(int argc, char** argv, RunOptions& options);

// The usage, for --help and, on standard error, for a command line not understood.
extern const char kUsage[];

} // namespace qdp
