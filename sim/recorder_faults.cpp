#include "sim/recorder_faults.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace qdp::sim {
namespace {

struct FaultName {
    FaultKind kind;
    std::string_view name;
    bool counted; // written "name=N"
};

constexpr std::array<FaultName, 9> kFaultNames = {{
    {FaultKind::None, "none", false},
    {FaultKind::ProgramFailure, "program-failure", false},
    {FaultKind::NoLeave, "no-leave", false},
    {FaultKind::NoReturn, "no-return", false},
    {FaultKind::OtherDrive, "other-drive", false},
    {FaultKind::UnplugAt, "unplug-at", true},
    {FaultKind::FailAt, "fail-at", true},
    {FaultKind::CorruptAt, "corrupt-at", true},
    {FaultKind::Swap, "swap", false},
}};

} // namespace

std::optional<RecorderFault> ParseFault(std::string_view text,
                                        std::span<const FaultKind> accepted) {
    for (const FaultName& name : kFaultNames) {
        if (std::find(accepted.begin(), accepted.end(), name.kind) == accepted.end() ||
            !text.starts_with(name.name)) {
            continue;
        }
        const std::string_view rest = text.substr(name.name.size());
        if (!name.counted) {
            if (rest.empty()) {
                return RecorderFault{name.kind, 0};
            }
            continue;
        }
        std::uint64_t at = 0;
        const char* end = rest.data() + rest.size();
        if (rest.size() < 2 || rest[0] != '=' || rest[1] < '0' || rest[1] > '9' ||
            std::from_chars(rest.data() + 1, end, at).ptr != end || at == 0) {
            return std::nullopt;
        }
        return RecorderFault{name.kind, at};
    }
    return std::nullopt;
}

std::string FaultChoices(std::span<const FaultKind> accepted) {
    std::string choices;
    for (const FaultName& name : kFaultNames) {
        if (std::find(accepted.begin(), accepted.end(), name.kind) != accepted.end()) {
            // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about a
            // character pointer added to a temporary string.
            choices.append(choices.empty() ? "" : "|").append(name.name);
            choices.append(name.counted ? "=N" : "");
        }
    }
    return choices;
}

} // namespace qdp::sim
