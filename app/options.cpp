#include "app/options.h"

#include "app/updater.h"

#include <cstring>
#include <string_view>

namespace qdp {

bool ParseOptions(int argc, char** argv, RunOptions& options) {
    int plainArguments = 0;
    bool onlyDiag = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (!word.starts_with("--")) {
            // As ever: exactly "diag" is the diagnostic run, anything else a plain one.
            ++plainArguments;
            onlyDiag = onlyDiag && word == kDiagArgument;
            continue;
        }
        if (word == kHelpArgument) {
            options.help = true;
        } else if (word == kVersionArgument) {
            options.version = true;
        } else if (word == "--list") {
            options.list = true;
        } else if (word == "--all") {
            options.all = true;
        } else if (word == "--json") {
            options.json = true;
        } else if (word == "--yes") {
            options.yes = true;
        } else if (word == "--verify") {
            options.verify = true;
        } else if (word == "--device" && i + 1 < argc && options.device == nullptr) {
            options.device = argv[++i];
        } else {
            return false;
        }
    }
    options.diag = plainArguments == 1 && onlyDiag;
    const bool asks =
        options.list || options.json || options.yes || options.verify || options.device != nullptr;
    if ((options.help || options.version) && (asks || plainArguments > 0 || argc > 2)) {
        return false; // --help and --version stand alone
    }
    if (options.json && !options.list && !options.all) {
        return false;
    }
    if (options.all && (options.list || options.device != nullptr)) {
        return false;
    }
    return !(options.list && options.yes);
}

const char kUsage[] =
    "Usage: QDp_FW_FirstUpdater [diag] [--yes] [--verify] [--device PATH]\n"
    "       QDp_FW_FirstUpdater --all [diag] [--yes] [--verify] [--json]\n"
    "       QDp_FW_FirstUpdater --list [--json] [--verify] [--device PATH] [diag]\n"
    "       QDp_FW_FirstUpdater --help | --version\n"
    "\n"
    "Updates the firmware of a Quirn Dorvel+ recorder connected by USB. The updater\n"
    "waits for the recorder (Esc leaves), shows the installed and offered versions and\n"
    "asks before it changes anything: Y to load the firmware, then L to confirm, which\n"
    "erases ALL data on the recorder; when the recorder's Boot Loader is older than the\n"
    "one offered, Y once more to upgrade it first. Any other key leaves. Do not\n"
    "disconnect the recorder until the updater tells you to.\n"
    "\n"
    "  diag           replace the Boot Loader whatever its version, and accept a\n"
    "                 recorder whose Boot Loader identification differs (service use)\n"
    "  --yes          unattended: answer every prompt with yes and wait for no key;\n"
    "                 with no recorder connected, end at once\n"
    "  --verify       read back what is written before it is marked to start; with\n"
    "                 --list, say whether each recorder holds what this updater carries\n"
    "  --device PATH  that recorder only (\\\\.\\PHYSICALDRIVEn; on Linux also /dev/sgN)\n"
    "  --all          every connected recorder at once, each followed by its USB port;\n"
    "                 the questions are asked once, and a summary ends the run\n"
    "  --list         the connected recorders, their versions and what an update would\n"
    "                 do, one line each; changes nothing\n"
    "  --json         with --list or --all: one JSON document on standard output, for\n"
    "                 scripts; every other text goes to standard error\n"
    "  --help         show this text\n"
    "  --version      show the updater's version and the versions it offers\n"
    "\n"
    "Exit codes: 0 the update was done, or declined; 1 another recorder application\n"
    "is running; 2 the update failed, or the command line or the console did not\n"
    "allow it (the console says why).\n"
    "Environment: QDP_LOG=file appends a line for every device command and every\n"
    "message to that file, for a technician.\n";

} // namespace qdp
