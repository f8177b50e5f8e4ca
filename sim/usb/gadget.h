// The recorder as a USB device through the kernel's gadget framework: a configfs
// gadget with one FunctionFS function (a mass-storage interface with a bulk-in and a
// bulk-out endpoint), bound to a USB device controller such as dummy_hcd's. The
// control endpoint is served on a thread of its own (Get Max LUN, Bulk-Only reset);
// the bulk endpoints belong to the caller. Unbinding from the controller and binding
// again is what a recorder's restart looks like to the host: it leaves the bus and
// enumerates anew.
#pragma once

#include "sim/usb/bulk_only.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace qdp::sim::usb {

struct GadgetOptions {
    std::string name = "qdp_recorder"; // the configfs gadget and FunctionFS instance
    std::string controller;            // empty: the first one in /sys/class/udc
    std::uint16_t vendor = 0x1D6B;     // Linux Foundation
    std::uint16_t product = 0x0104;    // Multifunction Composite Gadget
    std::string serial = "QDP-VIRTUAL-0001";
};

class Gadget : public BulkPipes {
  public:
    Gadget() = default;
    ~Gadget() override;
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;

    // Builds the gadget and its function; false, with the reason, when it cannot.
    bool Create(const GadgetOptions& options, std::string& error);
    // Connects to the controller, or leaves it: the host sees the device come or go.
    bool Bind();
    bool Unbind();
    // Takes the gadget apart again.
    void Destroy();

    // True once after the host asked for a Bulk-Only reset.
    bool TakeReset() { return reset_.exchange(false); }

    // The bulk pipes. A wait in them ends (with -1 or false) when the host resets
    // the transport or the thread is interrupted by a signal.
    long Receive(std::span<std::uint8_t> buffer) override;
    bool Send(std::span<const std::uint8_t> data) override;
    void StallIn() override;
    void StallOut() override;

  private:
    void ServeControl();

    std::string configPath_;
    std::string mountPath_;
    std::string controller_;
    int ep0_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::thread control_;
    pthread_t bulkThread_{};
    std::atomic<bool> reset_{false};
    std::atomic<bool> stopping_{false};
};

} // namespace qdp::sim::usb
