// What the listing and the --all summary say of a recorder: where it is, its versions,
// and the JSON they are written in.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace qdp {

using Json = nlohmann::ordered_json;

// Where a recorder is: its device path, the system's name for it where that differs,
// and the USB port it is plugged into (empty: the system tells none).
struct RecorderPlace {
    std::string device;
    std::string node;
    std::string port;

    // "\\.\PHYSICALDRIVE1 (/dev/sg1), port 1-3"
    std::string Name() const;
};
RecorderPlace PlaceOf(const char* devicePath);

// "1.3"
std::string VersionText(std::uint16_t version);

// A text, or null where it is empty.
Json Nullable(const std::string& text);
// The document as written on standard output. Text the program did not make (a device
// path given on the command line) may hold any bytes: what is not UTF-8 is replaced,
// never thrown about.
std::string JsonText(const Json& value);

} // namespace qdp
