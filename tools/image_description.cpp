#include "tools/image_description.h"

#include "controller/controller_commands.h"
#include "controller/records.h"

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace qdp::tools {
namespace {

unsigned long Number(const std::string& word) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(word, &used, 0);
    if (used != word.size()) {
        throw std::invalid_argument("not a number: " + word);
    }
    return value;
}

std::uint16_t Version(const std::string& word) {
    const auto dot = word.find('.');
    if (dot == std::string::npos) {
        throw std::invalid_argument("a version is major.minor: " + word);
    }
    const unsigned long major = Number(word.substr(0, dot));
    const unsigned long minor = Number(word.substr(dot + 1));
    if (major > 255 || minor > 255) {
        throw std::invalid_argument("version numbers go to 255: " + word);
    }
    return static_cast<std::uint16_t>(major << 8 | minor);
}

std::size_t Address(const std::string& word, std::size_t length = 1) {
    const unsigned long address = Number(word);
    if (address + length > kResourceSize) {
        throw std::invalid_argument("outside the image: " + word);
    }
    return address;
}

std::string Rest(std::istringstream& line) {
    std::string rest;
    std::getline(line >> std::ws, rest);
    return rest.substr(0, rest.find_last_not_of(" \t") + 1);
}

void Apply(const std::string& directive, std::istringstream& line, Resource& image) {
    std::string a, b, c;
    if (directive == "fill") {
        line >> a;
        image.fill(static_cast<std::uint8_t>(Number(a)));
    } else if (directive == "random") {
        line >> a >> b >> c;
        const std::size_t from = Address(a, 0), to = Address(b, 0);
        auto state = static_cast<std::uint32_t>(Number(c));
        for (std::size_t i = from; i < to; ++i) {
            state = state * 1664525u + 1013904223u;
            image[i] = static_cast<std::uint8_t>(state >> 24);
        }
    } else if (directive == "bytes") {
        line >> a;
        std::size_t at = Address(a);
        while (line >> b) {
            image[Address(std::to_string(at))] = static_cast<std::uint8_t>(Number(b));
            ++at;
        }
    } else if (directive == "text") {
        line >> a;
        const std::string text = Rest(line);
        std::memcpy(&image[Address(a, text.size())], text.data(), text.size());
    } else if (directive == "firmware-status") {
        line >> a >> b;
        if (b.size() != sizeof(FirmwareStatusRecord::marker)) {
            throw std::invalid_argument("the marker has four characters: " + b);
        }
        FirmwareStatusRecord record{};
        record.version = Version(a); // stored little-endian, as on the host
        std::memcpy(record.marker, b.data(), sizeof record.marker);
        std::memcpy(&image[kFirmwareStatusAddress], &record, sizeof record);
    } else if (directive == "boot-loader") {
        line >> a >> b;
        BootLoaderRecord record{};
        if (b.size() != sizeof record.identification) {
            throw std::invalid_argument("the identification has seven characters: " + b);
        }
        record.version = SwapBytes16(Version(a)); // stored big-endian
        std::memcpy(record.identification, b.data(), sizeof record.identification);
        std::memcpy(&image[kBootLoaderRecordAddress], &record, sizeof record);
    } else {
        throw std::invalid_argument("unknown directive: " + directive);
    }
}

} // namespace

bool BuildPlainImage(std::istream& description, Resource& image, std::string& error) {
    image.fill(0xFF);
    std::string text;
    for (int number = 1; std::getline(description, text); ++number) {
        text = text.substr(0, text.find('#'));
        std::istringstream line(text);
        std::string directive;
        if (!(line >> directive)) {
            continue;
        }
        try {
            Apply(directive, line, image);
        } catch (const std::exception& e) {
            error = "line " + std::to_string(number) + ": " + e.what();
            return false;
        }
    }
    return true;
}

} // namespace qdp::tools
