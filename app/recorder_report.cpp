#include "app/recorder_report.h"

#include "app/recorder_presence.h"
#include "controller/records.h"
#include "platform/platform.h"

namespace qdp {

std::string RecorderPlace::Name() const {
    return device + (node.empty() ? "" : " (" + node + ")") +
           (port.empty() ? "" : ", port " + port);
}

RecorderPlace PlaceOf(const char* devicePath) {
    RecorderPlace place;
    place.device = devicePath;
    const os::NodeName node = os::DriveNodeName(devicePath);
    if (place.device != node.data()) {
        place.node = node.data();
    }
    PortText port{};
    if (PortOf(devicePath, port)) {
        place.port = port.data();
    }
    return place;
}

std::string VersionText(std::uint16_t version) {
    return std::to_string(VersionMajor(version)) + "." + std::to_string(VersionMinor(version));
}

Json Nullable(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

std::string JsonText(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace qdp
