#include "transport/transport_state.h"

namespace qdp {

thread_local TransportState Transport;
CommandLogState CommandLog;

void ResetTransportState() {
    if (CommandLog.file != nullptr) {
        std::fclose(CommandLog.file);
    }
    CommandLog = CommandLogState{};
    Transport = TransportState{};
}

} // namespace qdp
