#include "app/updater_state.h"

#include <cstdlib>

namespace qdp {

UpdaterState Updater;

void ResetUpdaterState() {
    std::free(Updater.DeviceName);
    Updater = UpdaterState{};
}

} // namespace qdp
