#include "sim/recorder_state.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>

namespace qdp::sim {
namespace {

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(std::string(text.substr(i, 2)).c_str(), "%2x", &value) != 1) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::string Version(std::uint16_t value) {
    return std::to_string(value >> 8) + "." + std::to_string(value & 0xFF);
}

std::string Printable(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            text += escaped;
        }
    }
    return text;
}

// The text between the quotes after "name": in the file; empty when absent.
std::string_view Field(std::string_view json, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\": ";
    const std::size_t at = json.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    std::size_t start = at + key.size();
    const bool quoted = start < json.size() && json[start] == '"';
    start += quoted ? 1 : 0;
    const std::size_t end = json.find_first_of(quoted ? "\"" : ",\n}", start);
    return end == std::string_view::npos ? std::string_view{} : json.substr(start, end - start);
}

} // namespace

std::string CommandName(const CommandBlock& block) {
    char name[8];
    if (block[0] == wire::kVendor) {
        std::snprintf(name, sizeof name, "c8/%02x", block[1]);
    } else {
        std::snprintf(name, sizeof name, "%02x", block[0]);
    }
    return name;
}

bool WriteRecorderState(const std::string& path, const VirtualRecorder& recorder,
                        std::span<const std::uint8_t> image, const RunSummary& run) {
    const auto& program = recorder.program;
    const auto section = [](auto& bytes) {
        return std::span(bytes).subspan(wire::kBootLoaderRecord, wire::kBootLoaderSection);
    };
    const bool programMatches =
        std::equal(image.begin(), image.begin() + wire::kProgramArea, program.begin());
    const bool bootLoaderMatches = std::ranges::equal(section(image), section(program));
    const std::uint8_t* status = &program[wire::kFirmwareStatus];
    std::ostringstream out;
    out << "{\n";
    out << "  \"program_area_matches_image\": " << (programMatches ? "true" : "false") << ",\n";
    out << "  \"boot_loader_matches_image\": " << (bootLoaderMatches ? "true" : "false") << ",\n";
    out << "  \"boot_loader_version\": \""
        << Version(static_cast<std::uint16_t>(program[wire::kBootLoaderRecord] << 8 |
                                              program[wire::kBootLoaderRecord + 1]))
        << "\",\n";
    out << "  \"firmware_version\": \""
        << Version(static_cast<std::uint16_t>(status[1] << 8 | status[0])) << "\",\n";
    out << "  \"firmware_marker\": \"" << Printable(std::span(status + 7, 4)) << "\",\n";
    out << "  \"flash_pages\": " << recorder.geometry.TotalPages() << ",\n";
    out << "  \"stored_pages\": " << recorder.StoredPages() << ",\n";
    out << "  \"erased_page_ranges\": [";
    const char* separator = "";
    for (const PageRange& range : recorder.ErasedRanges()) {
        out << separator << "[" << range.first << ", " << range.end << "]";
        separator = ", ";
    }
    out << "],\n";
    out << "  \"restarts\": " << run.restarts << ",\n";
    out << "  \"invalid_wrappers\": " << run.invalidWrappers << ",\n";
    out << "  \"commands\": {";
    separator = "";
    for (const auto& [name, count] : run.commands) {
        out << separator << "\"" << name << "\": " << count;
        separator = ", ";
    }
    out << "},\n";
    // What the recorder keeps without power, for --resume.
    const Geometry& geometry = recorder.geometry;
    out << "  \"unit_count\": " << unsigned{geometry.unitCount} << ",\n";
    out << "  \"blocks_per_unit\": " << geometry.blocksPerUnit << ",\n";
    out << "  \"pages_per_block\": " << unsigned{geometry.pagesPerBlock} << ",\n";
    out << "  \"page_size\": " << geometry.pageSize << ",\n";
    out << "  \"sector_size\": " << geometry.sectorSize << ",\n";
    out << "  \"program_memory\": \"" << Hex(program) << "\",\n";
    out << "  \"storage\": {";
    separator = "";
    for (const std::uint64_t page : recorder.StoredPageNumbers()) {
        out << separator << "\n    \"" << page << "\": \"" << Hex(recorder.ReadFlash(page)) << "\"";
        separator = ",";
    }
    out << "\n  }\n}\n";
    std::ofstream file(path);
    file << out.str();
    return static_cast<bool>(file);
}

bool ReadRecorderState(const std::string& path, VirtualRecorder& recorder) {
    std::ifstream file(path);
    const std::string json(std::istreambuf_iterator<char>(file), {});
    const auto number = [&](std::string_view name) {
        return std::strtoull(std::string(Field(json, name)).c_str(), nullptr, 10);
    };
    Geometry geometry;
    geometry.unitCount = static_cast<std::uint8_t>(number("unit_count"));
    geometry.blocksPerUnit = static_cast<std::uint16_t>(number("blocks_per_unit"));
    geometry.pagesPerBlock = static_cast<std::uint8_t>(number("pages_per_block"));
    geometry.pageSize = static_cast<std::uint16_t>(number("page_size"));
    geometry.sectorSize = static_cast<std::uint32_t>(number("sector_size"));
    const auto program = FromHex(Field(json, "program_memory"));
    const std::size_t storageAt = json.find("\"storage\": {");
    if (!program || program->size() != recorder.program.size() || geometry.pageSize == 0 ||
        storageAt == std::string::npos) {
        return false;
    }
    VirtualRecorder restored(geometry);
    std::copy(program->begin(), program->end(), restored.program.begin());
    // "page": "bytes" pairs, one a line, up to the closing brace.
    std::istringstream lines(json.substr(storageAt));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && line.find('}') == std::string::npos) {
        const std::size_t colon = line.find("\": \"");
        const auto bytes =
            colon == std::string::npos
                ? std::nullopt
                : FromHex(std::string_view(line).substr(colon + 4, line.rfind('"') - colon - 4));
        if (!bytes) {
            return false;
        }
        restored.WriteFlash(std::strtoull(line.c_str() + line.find('"') + 1, nullptr, 10), *bytes);
    }
    recorder = std::move(restored);
    return true;
}

} // namespace qdp::sim
