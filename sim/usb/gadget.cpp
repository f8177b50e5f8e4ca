#include "sim/usb/gadget.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qdp::sim::usb {
namespace {

#pragma pack(push, 1)
struct InterfaceDescriptor {
    std::uint8_t bLength = USB_DT_INTERFACE_SIZE;
    std::uint8_t bDescriptorType = USB_DT_INTERFACE;
    std::uint8_t bInterfaceNumber = 0;
    std::uint8_t bAlternateSetting = 0;
    std::uint8_t bNumEndpoints = 2;
    std::uint8_t bInterfaceClass = 0x08;    // mass storage
    std::uint8_t bInterfaceSubClass = 0x06; // SCSI transparent command set
    std::uint8_t bInterfaceProtocol = 0x50; // Bulk-Only Transport
    std::uint8_t iInterface = 1;
};

struct EndpointDescriptor {
    std::uint8_t bLength = USB_DT_ENDPOINT_SIZE;
    std::uint8_t bDescriptorType = USB_DT_ENDPOINT;
    std::uint8_t bEndpointAddress;
    std::uint8_t bmAttributes = USB_ENDPOINT_XFER_BULK;
    std::uint16_t wMaxPacketSize;
    std::uint8_t bInterval = 0;
};

struct SpeedDescriptors {
    InterfaceDescriptor interface;
    EndpointDescriptor in;
    EndpointDescriptor out;
};

struct Descriptors {
    std::uint32_t magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    std::uint32_t length = sizeof(Descriptors);
    std::uint32_t flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    std::uint32_t fullSpeedCount = 3;
    std::uint32_t highSpeedCount = 3;
    SpeedDescriptors fullSpeed{
        {},
        {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, 64, 0},
        {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, 64, 0}};
    SpeedDescriptors highSpeed{
        {},
        {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, 512, 0},
        {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, 512, 0}};
};

struct Strings {
    std::uint32_t magic = FUNCTIONFS_STRINGS_MAGIC;
    std::uint32_t length = sizeof(Strings);
    std::uint32_t stringCount = 1;
    std::uint32_t languageCount = 1;
    std::uint16_t language = 0x0409; // en-US
    char interface[13] = "Mass Storage";
};
#pragma pack(pop)

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

bool MakeDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string FirstController() {
    DIR* directory = ::opendir("/sys/class/udc");
    std::string found;
    if (directory != nullptr) {
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') {
                found = entry->d_name;
                break;
            }
        }
        ::closedir(directory);
    }
    return found;
}

std::string Hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

} // namespace

Gadget::~Gadget() { Destroy(); }

bool Gadget::Create(const GadgetOptions& options, std::string& error) {
    controller_ = options.controller.empty() ? FirstController() : options.controller;
    if (controller_.empty()) {
        error = "no USB device controller in /sys/class/udc (load dummy_hcd)";
        return false;
    }
    configPath_ = "/sys/kernel/config/usb_gadget/" + options.name;
    const std::string function = "ffs." + options.name;
    const bool built =
        MakeDirectory(configPath_) && WriteFile(configPath_ + "/idVendor", Hex16(options.vendor)) &&
        WriteFile(configPath_ + "/idProduct", Hex16(options.product)) &&
        WriteFile(configPath_ + "/bcdUSB", "0x0200") &&
        MakeDirectory(configPath_ + "/strings/0x409") &&
        WriteFile(configPath_ + "/strings/0x409/manufacturer", "Quirn") &&
        WriteFile(configPath_ + "/strings/0x409/product", "Dorvel+ recorder (virtual)") &&
        WriteFile(configPath_ + "/strings/0x409/serialnumber", options.serial) &&
        MakeDirectory(configPath_ + "/configs/c.1") &&
        WriteFile(configPath_ + "/configs/c.1/MaxPower", "100") &&
        MakeDirectory(configPath_ + "/configs/c.1/strings/0x409") &&
        WriteFile(configPath_ + "/configs/c.1/strings/0x409/configuration", "Mass storage") &&
        MakeDirectory(configPath_ + "/functions/" + function);
    if (!built) {
        error = "cannot build the gadget in " + configPath_ +
                " (configfs mounted? libcomposite and usb_f_fs loaded?)";
        return false;
    }
    const std::string link = configPath_ + "/configs/c.1/" + function;
    if (::symlink((configPath_ + "/functions/" + function).c_str(), link.c_str()) != 0 &&
        errno != EEXIST) {
        error = "cannot add the function to the configuration: " + std::string(strerror(errno));
        return false;
    }
    mountPath_ = "/run/" + options.name + "_ffs";
    MakeDirectory(mountPath_);
    if (::mount(options.name.c_str(), mountPath_.c_str(), "functionfs", 0, nullptr) != 0) {
        error = "cannot mount functionfs: " + std::string(strerror(errno));
        return false;
    }
    ep0_ = ::open((mountPath_ + "/ep0").c_str(), O_RDWR);
    const Descriptors descriptors;
    const Strings strings;
    if (ep0_ < 0 || ::write(ep0_, &descriptors, sizeof descriptors) < 0 ||
        ::write(ep0_, &strings, sizeof strings) < 0) {
        error = "cannot describe the function: " + std::string(strerror(errno));
        return false;
    }
    in_ = ::open((mountPath_ + "/ep1").c_str(), O_RDWR);
    out_ = ::open((mountPath_ + "/ep2").c_str(), O_RDWR);
    if (in_ < 0 || out_ < 0) {
        error = "cannot open the bulk endpoints: " + std::string(strerror(errno));
        return false;
    }
    bulkThread_ = ::pthread_self();
    control_ = std::thread([this] { ServeControl(); });
    return true;
}

bool Gadget::Bind() { return WriteFile(configPath_ + "/UDC", controller_ + "\n"); }

// An empty write never reaches configfs: a lone newline unbinds.
bool Gadget::Unbind() { return WriteFile(configPath_ + "/UDC", "\n"); }

void Gadget::Destroy() {
    if (configPath_.empty()) {
        return;
    }
    Unbind();
    stopping_ = true;
    if (control_.joinable()) {
        ::pthread_kill(control_.native_handle(), SIGUSR1);
        control_.join();
    }
    for (int* fd : {&in_, &out_, &ep0_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    ::umount(mountPath_.c_str());
    ::rmdir(mountPath_.c_str());
    const std::string function = configPath_.substr(configPath_.rfind('/') + 1);
    ::unlink((configPath_ + "/configs/c.1/ffs." + function).c_str());
    ::rmdir((configPath_ + "/configs/c.1/strings/0x409").c_str());
    ::rmdir((configPath_ + "/configs/c.1").c_str());
    ::rmdir((configPath_ + "/functions/ffs." + function).c_str());
    ::rmdir((configPath_ + "/strings/0x409").c_str());
    ::rmdir(configPath_.c_str());
    configPath_.clear();
}

void Gadget::ServeControl() {
    usb_functionfs_event events[4];
    while (!stopping_) {
        const ssize_t got = ::read(ep0_, events, sizeof events);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
            if (events[i].type != FUNCTIONFS_SETUP) {
                continue; // bind, enable, disable, suspend: nothing to do here
            }
            const usb_ctrlrequest& setup = events[i].u.setup;
            if (setup.bRequestType == 0xA1 && setup.bRequest == 0xFE) { // Get Max LUN
                const std::uint8_t lastLun = 0;
                [[maybe_unused]] const ssize_t written = ::write(ep0_, &lastLun, 1);
            } else if (setup.bRequestType == 0x21 && setup.bRequest == 0xFF &&
                       setup.wLength == 0) { // Bulk-Only Mass Storage Reset
                [[maybe_unused]] const ssize_t read = ::read(ep0_, nullptr, 0);
                reset_ = true;
                ::pthread_kill(bulkThread_, SIGUSR1); // abandon the command in progress
            } else {
                // Anything else is stalled: a transfer the wrong way round does it.
                std::uint8_t byte = 0;
                [[maybe_unused]] const ssize_t stalled = (setup.bRequestType & USB_DIR_IN) != 0
                                                             ? ::read(ep0_, &byte, 0)
                                                             : ::write(ep0_, &byte, 0);
            }
        }
    }
}

long Gadget::Receive(std::span<std::uint8_t> buffer) {
    const ssize_t got = ::read(out_, buffer.data(), buffer.size());
    return got < 0 ? -1 : static_cast<long>(got);
}

bool Gadget::Send(std::span<const std::uint8_t> data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t written = ::write(in_, data.data() + sent, data.size() - sent);
        if (written <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(written);
    }
    return true;
}

// FunctionFS halts an endpoint when it is read or written the wrong way round.
void Gadget::StallIn() {
    std::uint8_t byte = 0;
    [[maybe_unused]] const ssize_t halted = ::read(in_, &byte, 1);
}

void Gadget::StallOut() {
    const std::uint8_t byte = 0;
    [[maybe_unused]] const ssize_t halted = ::write(out_, &byte, 1);
}

} // namespace qdp::sim::usb
