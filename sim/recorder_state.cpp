#include "sim/recorder_state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace qdp::sim {
namespace {

using Json = nlohmann::ordered_json;

// What is wrong with a state file.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

std::vector<std::uint8_t> FromHex(const std::string& text, std::size_t size,
                                  const std::string& what) {
    const auto digit = [&](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        throw Refused(what + " holds '" + std::string(1, c) + "', not a hex digit");
    };
    if (text.size() != size * 2) {
        throw Refused(what + " holds " + std::to_string(text.size() / 2) + " bytes, not " +
                      std::to_string(size));
    }
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(digit(text[2 * i]) << 4 | digit(text[2 * i + 1]));
    }
    return bytes;
}

std::string Version(std::uint16_t value) {
    return std::to_string(value >> 8) + "." + std::to_string(value & 0xFF);
}

// Bytes as the characters of the same codes, so that any byte can stand in a string.
std::string Characters(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

const Json& Member(const Json& object, const char* name) {
    if (!object.is_object() || !object.contains(name)) {
        throw Refused(std::string("no \"") + name + "\"");
    }
    return object.at(name);
}

std::uint64_t Number(const Json& object, const char* name, std::uint64_t least,
                     std::uint64_t most) {
    const Json& value = Member(object, name);
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() < least ||
        value.get<std::uint64_t>() > most) {
        throw Refused(std::string("\"") + name + "\" is " + value.dump() + ", not a number from " +
                      std::to_string(least) + " to " + std::to_string(most));
    }
    return value.get<std::uint64_t>();
}

bool Flag(const Json& object, const char* name) {
    const Json& value = Member(object, name);
    if (!value.is_boolean()) {
        throw Refused(std::string("\"") + name + "\" is " + value.dump() + ", not true or false");
    }
    return value.get<bool>();
}

const std::string& Text(const Json& object, const char* name) {
    const Json& value = Member(object, name);
    if (!value.is_string()) {
        throw Refused(std::string("\"") + name + "\" is not a string");
    }
    return value.get_ref<const std::string&>();
}

Json PageRecord(const PageHistory& page) {
    Json record;
    record["factory"] = page.factory;
    record["programmed"] = page.programmed;
    record["programmed_run"] = page.programmedRun;
    record["digest"] = page.digest;
    record["erased"] = page.erased;
    record["erased_run"] = page.erasedRun;
    record["pieces"] = page.pieces;
    record["spoiled"] = page.spoiled;
    return record;
}

PageHistory PageFrom(const Json& record) {
    PageHistory page;
    constexpr std::uint64_t kMost32 = std::numeric_limits<std::uint32_t>::max();
    page.factory = Flag(record, "factory");
    page.programmed = Flag(record, "programmed");
    page.programmedRun = static_cast<std::uint32_t>(Number(record, "programmed_run", 0, kMost32));
    page.digest = Number(record, "digest", 0, std::numeric_limits<std::uint64_t>::max());
    page.erased = Flag(record, "erased");
    page.erasedRun = static_cast<std::uint32_t>(Number(record, "erased_run", 0, kMost32));
    page.pieces = static_cast<std::uint32_t>(Number(record, "pieces", 0, kMost32));
    page.spoiled = Flag(record, "spoiled");
    return page;
}

VirtualRecorder Restored(const Json& state) {
    Geometry geometry;
    geometry.unitCount = static_cast<std::uint8_t>(Number(state, "unit_count", 0, 0xFF));
    geometry.blocksPerUnit =
        static_cast<std::uint16_t>(Number(state, "blocks_per_unit", 0, 0xFFFF));
    geometry.pagesPerBlock = static_cast<std::uint8_t>(Number(state, "pages_per_block", 0, 0xFF));
    geometry.pageSize = static_cast<std::uint16_t>(Number(state, "page_size", 1, 0xFFFF));
    geometry.sectorSize = static_cast<std::uint32_t>(Number(state, "sector_size", 1, 0xFFFFFFFF));
    VirtualRecorder recorder(geometry);
    const std::vector<std::uint8_t> program =
        FromHex(Text(state, "program_memory"), recorder.program.size(), "\"program_memory\"");
    std::copy(program.begin(), program.end(), recorder.program.begin());
    const Json& pages = Member(state, "program_pages");
    if (!pages.is_array() || pages.size() != recorder.pageHistory.size()) {
        throw Refused("\"program_pages\" is not a list of " +
                      std::to_string(recorder.pageHistory.size()) + " pages");
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        recorder.pageHistory[i] = PageFrom(pages[i]);
    }
    recorder.runs = static_cast<std::uint32_t>(Number(state, "power_ups", 0, 0xFFFFFFFF));
    recorder.bricked = Flag(state, "bricked");
    const Json& storage = Member(state, "storage");
    if (!storage.is_object()) {
        throw Refused("\"storage\" is not an object of pages");
    }
    for (const auto& [key, bytes] : storage.items()) {
        std::uint64_t page = 0;
        const char* end = key.data() + key.size();
        if (key.empty() || std::from_chars(key.data(), end, page).ptr != end ||
            page >= geometry.TotalPages()) {
            throw Refused("\"storage\" names page \"" + key + "\", not one of the " +
                          std::to_string(geometry.TotalPages()) + " pages of its flash");
        }
        if (!bytes.is_string()) {
            throw Refused("storage page " + key + " is not a string");
        }
        recorder.WriteFlash(
            page, FromHex(bytes.get<std::string>(), geometry.pageSize, "storage page " + key));
    }
    return recorder;
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

namespace {

Json StateOf(const VirtualRecorder& recorder, std::span<const std::uint8_t> image,
             const RunSummary& run) {
    const auto& program = recorder.program;
    const auto section = [](auto& bytes) {
        return std::span(bytes).subspan(wire::kBootLoaderRecord, wire::kBootLoaderSection);
    };
    const std::uint8_t* status = &program[wire::kFirmwareStatus];
    Json state;
    state["program_area_matches_image"] =
        std::equal(image.begin(), image.begin() + wire::kProgramArea, program.begin());
    state["boot_loader_matches_image"] = std::ranges::equal(section(image), section(program));
    state["boot_loader_version"] = Version(static_cast<std::uint16_t>(
        program[wire::kBootLoaderRecord] << 8 | program[wire::kBootLoaderRecord + 1]));
    state["firmware_version"] = Version(static_cast<std::uint16_t>(status[1] << 8 | status[0]));
    state["firmware_marker"] = Characters(std::span(status + 7, 4));
    state["bricked"] = recorder.bricked;
    state["flash_pages"] = recorder.geometry.TotalPages();
    state["stored_pages"] = recorder.StoredPages();
    Json ranges = Json::array();
    for (const PageRange& range : recorder.ErasedRanges()) {
        ranges.push_back({range.first, range.end});
    }
    state["erased_page_ranges"] = ranges;
    state["restarts"] = run.restarts;
    state["invalid_wrappers"] = run.invalidWrappers;
    state["commands"] = Json::object();
    for (const auto& [name, count] : run.commands) {
        state["commands"][name] = count;
    }
    // What the recorder keeps without power, for --resume.
    const Geometry& geometry = recorder.geometry;
    state["unit_count"] = geometry.unitCount;
    state["blocks_per_unit"] = geometry.blocksPerUnit;
    state["pages_per_block"] = geometry.pagesPerBlock;
    state["page_size"] = geometry.pageSize;
    state["sector_size"] = geometry.sectorSize;
    state["power_ups"] = recorder.runs;
    state["program_memory"] = Hex(program);
    state["program_pages"] = Json::array();
    for (const PageHistory& page : recorder.pageHistory) {
        state["program_pages"].push_back(PageRecord(page));
    }
    state["storage"] = Json::object();
    for (const std::uint64_t page : recorder.StoredPageNumbers()) {
        state["storage"][std::to_string(page)] = Hex(recorder.ReadFlash(page));
    }
    return state;
}

} // namespace

bool WriteRecorderStates(const std::string& path, std::span<const RecorderAndRun> recorders,
                         std::span<const std::uint8_t> image) {
    Json states = Json::array();
    for (const RecorderAndRun& one : recorders) {
        states.push_back(StateOf(*one.recorder, image, one.run));
    }
    std::ofstream file(path);
    file << (states.size() == 1 ? states[0] : states).dump(2) << "\n";
    return static_cast<bool>(file);
}

std::optional<std::string> ReadRecorderStates(const std::string& path,
                                              std::vector<VirtualRecorder>& recorders) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return path + ": cannot be read";
    }
    const std::string text(std::istreambuf_iterator<char>(file), {});
    try {
        const Json states = Json::parse(text);
        if (!states.is_object() && (!states.is_array() || states.empty())) {
            throw Refused("not a recorder's state, nor a list of them");
        }
        std::vector<VirtualRecorder> restored;
        for (const Json& state : states.is_array() ? states : Json::array({states})) {
            restored.push_back(Restored(state));
        }
        recorders = std::move(restored);
        return std::nullopt;
    } catch (const Json::exception& e) {
        return path + ": not JSON: " + e.what();
    } catch (const Refused& e) {
        return path + ": not a recorder's state: " + e.what();
    }
}

} // namespace qdp::sim
