#include "firmware/firmware_state.h"

namespace qdp {

FirmwareState Firmware;

void ResetFirmwareState() { Firmware = FirmwareState{}; }

} // namespace qdp
