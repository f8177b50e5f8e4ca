// A transport-layer function that calls the updater's update sequence, an upward
// call. The build must refuse to link it.
#include "app/updater.h"

namespace qdp {

int CallTheUpdaterFromTransport() {
    RecorderRun run;
    return RunUpdate(run);
}

} // namespace qdp
