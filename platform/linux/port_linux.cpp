// The USB port of a SCSI generic node, from sysfs: the node's device resolves to a
// path through the USB device it belongs to (.../usbB/B-P.P/B-P.P:1.0/hostH/...),
// whose folder holds its bus number and port chain.
#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace qdp::os {
namespace {

// The first line of a sysfs file; empty when it cannot be read.
std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

} // namespace

bool DrivePort(const char* devicePath, std::span<char> out) {
    const NodeName node = DriveNodeName(devicePath);
    const std::string name(node.data());
    if (!name.starts_with("/dev/sg")) {
        return false;
    }
    char resolved[PATH_MAX];
    const std::string link = "/sys/class/scsi_generic/" + name.substr(5) + "/device";
    if (::realpath(link.c_str(), resolved) == nullptr) {
        return false;
    }
    for (std::string folder = resolved; folder.size() > 1;
         folder.erase(folder.rfind('/') == 0 ? 1 : folder.rfind('/'))) {
        const std::string bus = FirstLine(folder + "/busnum");
        const std::string chain = FirstLine(folder + "/devpath");
        if (!bus.empty() && !chain.empty()) {
            const int length =
                std::snprintf(out.data(), out.size(), "%s-%s", bus.c_str(), chain.c_str());
            return length > 0 && static_cast<std::size_t>(length) < out.size();
        }
    }
    return false; // not on USB
}

} // namespace qdp::os
