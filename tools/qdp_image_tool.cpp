// Maintainer tool for the embedded images: builds them from a description,
// scrambles and descrambles them, and shows what an image holds.
#include "controller/controller_commands.h"
#include "controller/records.h"
#include "firmware/descrambler.h"
#include "tools/image_description.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

using qdp::tools::Resource;

int Usage() {
    std::cerr << "usage: qdp_image_tool build <description> <image.bin>\n"
                 "       qdp_image_tool scramble <in.bin> <out.bin>   (also descrambles)\n"
                 "       qdp_image_tool inspect <image.bin>\n";
    return 2;
}

bool ReadResource(const char* path, Resource& resource) {
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(resource.data()), resource.size());
    if (in.gcount() != static_cast<std::streamsize>(resource.size()) || in.peek() != EOF) {
        std::cerr << path << ": not an image of " << resource.size() << " bytes\n";
        return false;
    }
    return true;
}

bool WriteResource(const char* path, const Resource& resource) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(resource.data()), resource.size());
    if (!out) {
        std::cerr << path << ": cannot write\n";
        return false;
    }
    return true;
}

int Build(const char* descriptionPath, const char* imagePath) {
    std::ifstream description(descriptionPath);
    if (!description) {
        std::cerr << descriptionPath << ": cannot read\n";
        return 1;
    }
    Resource image{};
    std::string error;
    if (!qdp::tools::BuildPlainImage(description, image, error)) {
        std::cerr << descriptionPath << ": " << error << "\n";
        return 1;
    }
    qdp::ApplyKeyStream(image);
    return WriteResource(imagePath, image) ? 0 : 1;
}

int Scramble(const char* in, const char* out) {
    Resource image{};
    if (!ReadResource(in, image)) {
        return 1;
    }
    qdp::ApplyKeyStream(image);
    return WriteResource(out, image) ? 0 : 1;
}

// Shows what an image holds. A file that is neither a firmware image (a firmware
// status record with its marker and a version, and a boot-loader record with a
// version) nor a boot-loader replacement image (its mark at 0x0F08) is refused.
int Inspect(const char* path) {
    Resource image{};
    if (!ReadResource(path, image)) {
        return 1;
    }
    qdp::ApplyKeyStream(image);
    constexpr std::string_view kInstallerMark = "BLINSTAL";
    if (std::memcmp(&image[0x0F08], kInstallerMark.data(), kInstallerMark.size()) == 0) {
        std::printf("boot-loader replacement image (mark \"BLINSTAL\" at 0x0F08)\n");
        return 0;
    }
    qdp::FirmwareStatusRecord status{};
    std::memcpy(&status, &image[qdp::kFirmwareStatusAddress], sizeof status);
    qdp::BootLoaderRecord bootLoader{};
    std::memcpy(&bootLoader, &image[qdp::kBootLoaderRecordAddress], sizeof bootLoader);
    bootLoader.version = qdp::SwapBytes16(bootLoader.version);

    const bool marked = std::memcmp(status.marker, qdp::kFirmwareMarker, 4) == 0;
    if (!marked || status.version == 0 || bootLoader.version == 0 || bootLoader.version == 0xFFFF) {
        std::cerr << path << ": not a scrambled image: "
                  << (!marked               ? "no \"FWOK\" marker in the firmware status record"
                      : status.version == 0 ? "firmware version 0"
                                            : "no boot-loader version")
                  << " once descrambled, and no boot-loader replacement mark\n";
        return 1;
    }
    std::printf("firmware version:    %d.%d\n", qdp::VersionMajor(status.version),
                qdp::VersionMinor(status.version));
    std::printf("FWOK marker:         present\n");
    std::printf("boot-loader version: %d.%d\n", qdp::VersionMajor(bootLoader.version),
                qdp::VersionMinor(bootLoader.version));
    std::printf("identification:     ");
    for (const std::uint8_t byte : bootLoader.identification) {
        std::printf(" %02X", byte);
    }
    std::printf("  \"");
    for (const std::uint8_t byte : bootLoader.identification) {
        std::putchar(byte >= 0x20 && byte < 0x7F ? byte : '.');
    }
    std::printf("\"\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "build") == 0) {
        return Build(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "scramble") == 0) {
        return Scramble(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "inspect") == 0) {
        return Inspect(argv[2]);
    }
    return Usage();
}
