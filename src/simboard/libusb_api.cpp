// The libusb-1.0 calls that libftdi1 1.5 and hexburn's libftdi driver make,
// served by the simulated bus. Loaded before the real libusb (LD_PRELOAD),
// these definitions are the ones both find. Every libusb call libftdi1
// imports is here, so none reaches the real library with these objects;
// libftdi's asynchronous transfers, which hexburn does not use, report
// LIBUSB_ERROR_NOT_SUPPORTED.
#include <libusb.h>

#include <cstring>

#include "simboard/usb_bus.h"

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    usbsim::Board* board;
    int references;
    std::uint64_t generation = 0;  // the board's plug-in it was listed in
};

struct libusb_device_handle {
    libusb_device* device;
    bool auto_detach = false;
};

namespace {

// present=: the board as the file says now; a handle (or device) from before
// it was pulled out is dead, even once it is back.
bool stale(libusb_device* device) {
    usbsim::Bus::get().refresh(*device->board);
    return device->board->gone || device->generation != device->board->generation;
}
bool stale(libusb_device_handle* handle) {
    return stale(handle->device);
}

constexpr std::uint8_t kStringManufacturer = 1;
constexpr std::uint8_t kStringProduct = 2;
constexpr std::uint8_t kStringSerial = 3;

// One configuration, two interfaces, each with a bulk IN and a bulk OUT endpoint.
struct Configuration {
    libusb_config_descriptor config;
    libusb_interface interfaces[2];
    libusb_interface_descriptor settings[2];
    libusb_endpoint_descriptor endpoints[2][2];
};

bool valid_interface(int interface) {
    return interface == 0 || interface == 1;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
    usbsim::Bus::get();
    if (context != nullptr) {
        *context = new libusb_context;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    delete context;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        default:
            return "LIBUSB_ERROR_OTHER";
    }
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    return libusb_error_name(code);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    std::vector<usbsim::Board*> boards = usbsim::Bus::get().attached();
    auto* devices = new libusb_device*[boards.size() + 1];
    for (std::size_t i = 0; i < boards.size(); ++i) {
        devices[i] = new libusb_device{boards[i], 1, boards[i]->generation};
    }
    devices[boards.size()] = nullptr;
    *list = devices;
    return static_cast<ssize_t>(boards.size());
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    if (device != nullptr && --device->references == 0) {
        delete device;
    }
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) {
        return;
    }
    for (libusb_device** device = list; unref_devices != 0 && *device != nullptr; ++device) {
        libusb_unref_device(*device);
    }
    delete[] list;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = 0x0403;
    descriptor->idProduct = 0x6010;
    descriptor->bcdDevice = 0x0700;
    descriptor->iManufacturer = kStringManufacturer;
    descriptor->iProduct = kStringProduct;
    // A blank EEPROM has no serial number string at all.
    descriptor->iSerialNumber = device->board->serial.empty() ? 0 : kStringSerial;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index,
                                             libusb_config_descriptor** config) {
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const std::uint16_t packet = usbsim::Bus::get().packet_size();
    auto* c = new Configuration{};
    c->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    c->config.bDescriptorType = LIBUSB_DT_CONFIG;
    c->config.bNumInterfaces = 2;
    c->config.bConfigurationValue = 1;
    c->config.bmAttributes = 0x80;
    c->config.MaxPower = 50;
    c->config.interface = c->interfaces;
    for (std::uint8_t i = 0; i < 2; ++i) {
        libusb_interface_descriptor& setting = c->settings[i];
        setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
        setting.bDescriptorType = LIBUSB_DT_INTERFACE;
        setting.bInterfaceNumber = i;
        setting.bNumEndpoints = 2;
        setting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
        setting.iInterface = kStringProduct;
        setting.endpoint = c->endpoints[i];
        const std::uint8_t addresses[2] = {static_cast<std::uint8_t>(0x81 + 2 * i),
                                           static_cast<std::uint8_t>(0x02 + 2 * i)};
        for (int e = 0; e < 2; ++e) {
            libusb_endpoint_descriptor& endpoint = c->endpoints[i][e];
            endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
            endpoint.bEndpointAddress = addresses[e];
            endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            endpoint.wMaxPacketSize = packet;
        }
        c->interfaces[i].altsetting = &setting;
        c->interfaces[i].num_altsetting = 1;
    }
    *config = &c->config;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    // `config` is the first member of its Configuration.
    delete reinterpret_cast<Configuration*>(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
    return static_cast<uint8_t>(device->board->index + 2);
}

// Each board on its own port of the root hub.
int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
    if (length < 1) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    ports[0] = static_cast<uint8_t>(device->board->index + 1);
    return 1;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) {
    return usbsim::Bus::get().full_speed() ? LIBUSB_SPEED_FULL : LIBUSB_SPEED_HIGH;
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    if (stale(device)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int result = usbsim::Bus::get().open(*device->board);
    if (result == LIBUSB_SUCCESS) {
        *handle = new libusb_device_handle{libusb_ref_device(device)};
    }
    return result;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr) {
        return;
    }
    usbsim::Bus::get().drop_claims(*handle->device->board, handle);
    libusb_unref_device(handle->device);
    delete handle;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* configuration) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (handle->device->board->gone) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (handle->device->board->gone) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!valid_interface(interface)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return usbsim::Bus::get().claim(*handle->device->board, interface, handle, handle->auto_detach);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!valid_interface(interface)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return usbsim::Bus::get().release(*handle->device->board, interface, handle,
                                      handle->auto_detach);
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int interface) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!valid_interface(interface)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return usbsim::Bus::get().driver_active(*handle->device->board, interface);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interface) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!valid_interface(interface)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return usbsim::Bus::get().detach(*handle->device->board, interface);
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (!valid_interface(interface)) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return usbsim::Bus::get().attach(*handle->device->board, interface);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
    handle->auto_detach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return usbsim::Bus::get().control(*handle->device->board, request_type, request, value, index,
                                      data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout_ms) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int moved = 0;
    int result = usbsim::Bus::get().bulk(*handle->device->board, handle, endpoint, data, length,
                                         &moved, timeout_ms);
    if (transferred != nullptr) {
        *transferred = moved;
    }
    return result;
}

// As libusb: index 0 is no string; the text is cut to fit, NUL-terminated.
int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    if (stale(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const usbsim::Board& board = *handle->device->board;
    if (index == 0 || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (board.gone) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::string text = index == kStringManufacturer                      ? "FTDI"
                       : index == kStringProduct                         ? "Dual RS232-HS"
                       : index == kStringSerial && !board.serial.empty() ? board.serial
                                                                         : std::string();
    if (text.empty()) {
        return LIBUSB_ERROR_PIPE;  // the chip stalls a string it does not have
    }
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(length - 1));
    std::memcpy(data, text.data(), n);
    data[n] = '\0';
    return static_cast<int>(n);
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int) {
    return nullptr;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer*) {}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, timeval*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, timeval*, int*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

// --- the rest of libusb's exports -------------------------------------------------
// Not modelled, but defined: a call that fell through to the real libusb
// would get the stand-in's handles and devices. Each fails as its type allows.

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    return handle != nullptr ? handle->device : nullptr;
}

const libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 0, "", "https://libusb.info"};
    return &version;
}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}
int LIBUSB_CALL libusb_has_capability(uint32_t) {
    return 0;
}
int LIBUSB_CALL libusb_setlocale(const char*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context*, uint16_t,
                                                                  uint16_t) {
    return nullptr;
}
int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_reset_device(libusb_device_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle*, unsigned char) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle*, unsigned char, unsigned char*, int,
                                          int* moved, unsigned int) {
    if (moved != nullptr) {
        *moved = 0;
    }
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_free_streams(libusb_device_handle*, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) {
    return nullptr;
}
int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) {
    return nullptr;
}
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* device) {
    uint8_t port = 0;
    return libusb_get_port_numbers(device, &port, 1) == 1 ? port : 0;
}
int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* device, uint8_t* path,
                                     uint8_t length) {
    return libusb_get_port_numbers(device, path, length);
}
int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device*, unsigned char) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device,
                                                    libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(device, 0, config);
}
int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* device, uint8_t value,
                                                      libusb_config_descriptor** config) {
    return value == 1 ? libusb_get_config_descriptor(device, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}
int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle*, libusb_bos_descriptor** bos) {
    *bos = nullptr;
    return LIBUSB_ERROR_NOT_SUPPORTED;  // a USB 2.0 device has none
}
void LIBUSB_CALL libusb_free_bos_descriptor(libusb_bos_descriptor*) {}
int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(libusb_context*,
                                                        libusb_bos_dev_capability_descriptor*,
                                                        libusb_usb_2_0_extension_descriptor**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(libusb_usb_2_0_extension_descriptor*) {}
int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, libusb_bos_dev_capability_descriptor*,
    libusb_ss_usb_device_capability_descriptor**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL
libusb_free_ss_usb_device_capability_descriptor(libusb_ss_usb_device_capability_descriptor*) {}
int LIBUSB_CALL libusb_get_container_id_descriptor(libusb_context*,
                                                   libusb_bos_dev_capability_descriptor*,
                                                   libusb_container_id_descriptor**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_free_container_id_descriptor(libusb_container_id_descriptor*) {}
int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(
    libusb_context*, const libusb_endpoint_descriptor*, libusb_ss_endpoint_companion_descriptor**) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL
libusb_free_ss_endpoint_companion_descriptor(libusb_ss_endpoint_companion_descriptor*) {}
uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(libusb_transfer*) {
    return 0;
}
void LIBUSB_CALL libusb_transfer_set_stream_id(libusb_transfer*, uint32_t) {}

// Events: nothing is ever in flight, so there is nothing to handle.
int LIBUSB_CALL libusb_handle_events(libusb_context*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_handle_events_completed(libusb_context*, int*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_handle_events_locked(libusb_context*, timeval*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
int LIBUSB_CALL libusb_get_next_timeout(libusb_context*, timeval*) {
    return 0;  // no time-out pending
}
int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) {
    return 1;
}
const libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) {
    return nullptr;
}
void LIBUSB_CALL libusb_free_pollfds(const libusb_pollfd**) {}
void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb,
                                             libusb_pollfd_removed_cb, void*) {}
int LIBUSB_CALL libusb_try_lock_events(libusb_context*) {
    return 1;  // "someone else": there is no event to handle
}
void LIBUSB_CALL libusb_lock_events(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_events(libusb_context*) {}
int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) {
    return 0;
}
int LIBUSB_CALL libusb_event_handler_active(libusb_context*) {
    return 0;
}
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context*) {}
void LIBUSB_CALL libusb_lock_event_waiters(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context*) {}
int LIBUSB_CALL libusb_wait_for_event(libusb_context*, timeval*) {
    return 1;  // timed out
}
int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void*,
                                                 libusb_hotplug_callback_handle*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*,
                                                    libusb_hotplug_callback_handle) {}
void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context*, libusb_hotplug_callback_handle) {
    return nullptr;
}

}  // extern "C"
#pragma GCC visibility pop
