#include "transport/transport_state.h"

namespace qdp {

constinit thread_local TransportState Transport;
CommandLogState CommandLog;

void ResetTransportState() {
    if (CommandLog.file != nullptr) {
        std::fclose(CommandLog.file);
    }
    CommandLog.file = nullptr;
    CommandLog.checked = false;
    Transport = TransportState{};
}

} // namespace qdp
