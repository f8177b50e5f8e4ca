// The seam's console, served by the virtual host: keys from its script, text into
// its console record.
#include "platform/platform.h"
#include "sim/virtual_host.h"

namespace qdp::os {

int ReadRawKey() {
    sim::VirtualHost& host = sim::VirtualHost::Instance();
    if (host.keys.empty()) {
        return -1; // as without a console
    }
    const sim::VirtualHost::Key key = host.keys.front();
    host.keys.pop_front();
    host.WaitUntilMs(key.atMs); // a read blocks until the key is typed
    return key.code;
}

bool KeyWaiting() {
    sim::VirtualHost& host = sim::VirtualHost::Instance();
    return !host.keys.empty() && host.keys.front().atMs <= host.NowMs();
}

bool ConsoleAvailable() { return !sim::VirtualHost::Instance().noConsole; }

bool OutputIsTerminal() { return sim::VirtualHost::Instance().outputIsTerminal; }

void WriteText(std::string_view text) { sim::VirtualHost::Instance().console.append(text); }

void IgnoreInterrupt(bool ignore) {
    sim::VirtualHost& host = sim::VirtualHost::Instance();
    host.interruptChanges.emplace_back(ignore, host.Trace().size());
}

} // namespace qdp::os
