#include "transport/transport_state.h"

namespace qdp {

TransportState Transport;

void ResetTransportState() {
    if (Transport.log.file != nullptr) {
        std::fclose(Transport.log.file);
    }
    Transport = TransportState{};
}

} // namespace qdp
