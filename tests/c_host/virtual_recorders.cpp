// The virtual host for the C host program: recorders on the first drives.
#include "sim/virtual_host.h"

extern "C" void AttachVirtualRecorders(int count) {
    for (int drive = 0; drive < count; ++drive) {
        qdp::sim::VirtualHost::Instance().AttachRecorder(drive);
    }
}
