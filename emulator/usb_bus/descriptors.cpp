// SPDX-License-Identifier: GPL-2.0-or-later
// What an emulated reader tells the host about itself: its device,
// configuration, HID, report and string descriptors, and its answers to
// the control requests of chapter 9 and of the HID class.
#include <iterator>

#include "bus_records.h"

namespace emu::usb {

namespace {

constexpr int REPORT_PACKET = 64;      // wMaxPacketSize of the configuration endpoints
constexpr int KEYBOARD_PACKET = 8;     // boot keyboard report
constexpr int EP0_PACKET = 64;         // bMaxPacketSize0
constexpr uint8_t CONFIG_INTERVAL = 1; // bInterval, frames
constexpr uint8_t KEYBOARD_INTERVAL = 10;
constexpr uint8_t HUB_INTERVAL = 12;
constexpr uint16_t LANG_EN_US = 0x0409;
constexpr uint16_t USB_2_0 = 0x0200;
constexpr uint16_t DEVICE_RELEASE = 0x0100;
constexpr uint16_t HID_1_11 = 0x0111;
constexpr uint8_t BUS_POWERED = 0x80, SELF_POWERED_REMOTE_WAKEUP = 0xE0;
constexpr uint8_t MAX_POWER_100MA = 50; // units of 2 mA

// Descriptor lengths.
constexpr uint8_t DEVICE_LENGTH = 18, CONFIG_LENGTH = 9, INTERFACE_LENGTH = 9, HID_LENGTH = 9,
                  ENDPOINT_LENGTH = 7;
// Descriptor types and requests of chapter 9 and the HID class.
constexpr uint8_t DT_DEVICE = 1, DT_CONFIG = 2, DT_STRING = 3, DT_INTERFACE = 4, DT_ENDPOINT = 5,
                  DT_HID = 0x21, DT_REPORT = 0x22;
constexpr uint8_t REQ_GET_STATUS = 0, REQ_GET_DESCRIPTOR = 6, REQ_GET_CONFIGURATION = 8,
                  REQ_GET_INTERFACE = 10;
constexpr uint8_t HID_GET_REPORT = 1, HID_GET_IDLE = 2, HID_SET_REPORT = 9, HID_SET_IDLE = 10,
                  HID_SET_PROTOCOL = 11;
constexpr uint8_t CLASS_HID = 3, CLASS_HUB = 9, CLASS_VENDOR = 0xFF;
constexpr uint8_t SUBCLASS_BOOT = 1, PROTOCOL_KEYBOARD = 1;
constexpr uint8_t EP_INTERRUPT = 3;
// bmRequestType values.
constexpr uint8_t RT_STANDARD_DEVICE_IN = 0x80, RT_STANDARD_INTERFACE_IN = 0x81,
                  RT_STANDARD_DEVICE_OUT = 0x00, RT_STANDARD_INTERFACE_OUT = 0x01,
                  RT_CLASS_INTERFACE_OUT = 0x21, RT_CLASS_INTERFACE_IN = 0xA1, RT_TYPE_MASK = 0x60,
                  RT_TYPE_CLASS = 0x20;

// The configuration link: vendor page, 64-byte input and output reports,
// no report IDs.
const uint8_t CONFIG_REPORT_DESC[] = {
    0x06, 0x00, 0xFF, // usage page (vendor 0xFF00)
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x81, 0x02,       //   input (data, variable, absolute)
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x91, 0x02,       //   output (data, variable, absolute)
    0xC0,             // end collection
};

// The keyboard of a keyboard personality: the boot keyboard report.
const uint8_t KEYBOARD_REPORT_DESC[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

uint8_t low_byte(unsigned value) {
    return static_cast<uint8_t>(value & 0xFF);
}

uint8_t high_byte(unsigned value) {
    return static_cast<uint8_t>((value >> 8) & 0xFF);
}

void put16(Bytes& bytes, uint16_t value) {
    bytes.push_back(low_byte(value));
    bytes.push_back(high_byte(value));
}

void add_endpoint(Bytes& config, uint8_t address, uint16_t packet, uint8_t interval) {
    config.insert(config.end(), {ENDPOINT_LENGTH, DT_ENDPOINT, address, EP_INTERRUPT});
    put16(config, packet);
    config.push_back(interval);
}

void add_hid(Bytes& config, size_t report_desc_len) {
    config.insert(config.end(),
                  {HID_LENGTH, DT_HID, low_byte(HID_1_11), high_byte(HID_1_11), 0, 1, DT_REPORT});
    put16(config, static_cast<uint16_t>(report_desc_len));
}

void add_interface(Bytes& config, const Iface& iface) {
    const uint8_t endpoints = static_cast<uint8_t>((iface.ep_in ? 1 : 0) + (iface.ep_out ? 1 : 0));
    const uint8_t iface_class = iface.kind == IfaceKind::Vendor ? CLASS_VENDOR : CLASS_HID;
    const bool keyboard = iface.kind == IfaceKind::Keyboard;
    const uint8_t subclass = keyboard ? SUBCLASS_BOOT : 0;
    const uint8_t protocol = keyboard ? PROTOCOL_KEYBOARD : 0;
    config.insert(config.end(), {INTERFACE_LENGTH, DT_INTERFACE, static_cast<uint8_t>(iface.number),
                                 0, endpoints, iface_class, subclass, protocol, 0});
    if (iface.kind == IfaceKind::Config) {
        add_hid(config, sizeof CONFIG_REPORT_DESC);
        add_endpoint(config, iface.ep_in, REPORT_PACKET, CONFIG_INTERVAL);
        add_endpoint(config, iface.ep_out, REPORT_PACKET, CONFIG_INTERVAL);
    } else if (keyboard) {
        add_hid(config, sizeof KEYBOARD_REPORT_DESC);
        add_endpoint(config, iface.ep_in, KEYBOARD_PACKET, KEYBOARD_INTERVAL);
    }
}

Bytes string_descriptor(const std::string& text) {
    Bytes desc = {static_cast<uint8_t>(2 + 2 * text.size()), DT_STRING};
    for (char ch : text)
        put16(desc, static_cast<unsigned char>(ch));
    return desc;
}

ControlAnswer get_string(UsbDev& usbdev, uint8_t index) {
    ++usbdev.counters.string_requests;
    if (index == 0) return {false, {4, DT_STRING, low_byte(LANG_EN_US), high_byte(LANG_EN_US)}};
    if (index == 1 && !usbdev.manufacturer.empty())
        return {false, string_descriptor(usbdev.manufacturer)};
    if (index == 2) return {false, string_descriptor(usbdev.product_name)};
    if (index == 3 && usbdev.has_serial) return {false, string_descriptor(usbdev.serial)};
    return {true, {}};
}

ControlAnswer standard_in(UsbDev& usbdev, uint8_t request, uint16_t value) {
    const uint8_t type = high_byte(value);
    if (request == REQ_GET_DESCRIPTOR && type == DT_DEVICE) return {false, usbdev.device_desc};
    if (request == REQ_GET_DESCRIPTOR && type == DT_CONFIG) return {false, usbdev.config_desc};
    if (request == REQ_GET_DESCRIPTOR && type == DT_STRING)
        return get_string(usbdev, low_byte(value));
    if (request == REQ_GET_STATUS) return {false, {0, 0}};
    if (request == REQ_GET_CONFIGURATION)
        return {false, {static_cast<uint8_t>(usbdev.config_value)}};
    return {true, {}};
}

ControlAnswer interface_in(UsbDev& usbdev, uint8_t request, uint16_t value, uint16_t index) {
    Iface* iface = iface_by_number(usbdev, low_byte(index));
    if (iface == nullptr || iface->kind == IfaceKind::Vendor) return {true, {}};
    if (request == REQ_GET_DESCRIPTOR && high_byte(value) == DT_REPORT) {
        if (iface->kind == IfaceKind::Config)
            return {false, Bytes(std::begin(CONFIG_REPORT_DESC), std::end(CONFIG_REPORT_DESC))};
        return {false, Bytes(std::begin(KEYBOARD_REPORT_DESC), std::end(KEYBOARD_REPORT_DESC))};
    }
    if (request == REQ_GET_INTERFACE) return {false, {0}};
    return {true, {}};
}

ControlAnswer class_request(UsbDev& usbdev, uint8_t request_type, uint8_t request, uint16_t index) {
    Iface* iface = iface_by_number(usbdev, low_byte(index));
    if (iface == nullptr || iface->kind == IfaceKind::Vendor) return {true, {}};
    if (request_type == RT_CLASS_INTERFACE_OUT &&
        (request == HID_SET_IDLE || request == HID_SET_PROTOCOL || request == HID_SET_REPORT))
        return {false, {}};
    if (request_type == RT_CLASS_INTERFACE_IN && request == HID_GET_IDLE) return {false, {0}};
    if (request_type == RT_CLASS_INTERFACE_IN && request == HID_GET_REPORT) return {true, {}};
    return {true, {}};
}

} // namespace

Bytes device_descriptor(uint8_t dev_class, uint16_t vendor, uint16_t product, bool strings,
                        bool serial) {
    Bytes desc = {DEVICE_LENGTH, DT_DEVICE};
    put16(desc, USB_2_0);
    desc.push_back(dev_class);
    desc.push_back(0);
    desc.push_back(0);
    desc.push_back(EP0_PACKET);
    put16(desc, vendor);
    put16(desc, product);
    put16(desc, DEVICE_RELEASE);
    desc.push_back(strings ? 1 : 0);
    desc.push_back(strings ? 2 : 0);
    desc.push_back(serial ? 3 : 0);
    desc.push_back(1); // one configuration
    return desc;
}

Bytes config_descriptor(const Iface* ifaces, int count, int config_value) {
    Bytes config = {CONFIG_LENGTH,
                    DT_CONFIG,
                    0,
                    0,
                    static_cast<uint8_t>(count),
                    static_cast<uint8_t>(config_value),
                    0,
                    BUS_POWERED,
                    MAX_POWER_100MA};
    for (int i = 0; i < count; ++i)
        add_interface(config, ifaces[i]);
    // wTotalLength, once everything is in.
    config[2] = low_byte(static_cast<unsigned>(config.size()));
    config[3] = high_byte(static_cast<unsigned>(config.size()));
    return config;
}

Bytes hub_config_descriptor() {
    const uint8_t total = CONFIG_LENGTH + INTERFACE_LENGTH + ENDPOINT_LENGTH;
    Bytes config = {CONFIG_LENGTH, DT_CONFIG, total, 0, 1, 1, 0, SELF_POWERED_REMOTE_WAKEUP, 0};
    config.insert(config.end(), {INTERFACE_LENGTH, DT_INTERFACE, 0, 0, 1, CLASS_HUB, 0, 0, 0});
    add_endpoint(config, EP_IN | 1, 1, HUB_INTERVAL);
    return config;
}

ControlAnswer control(UsbDev& usbdev, const uint8_t* setup) {
    const uint8_t request_type = setup[0], request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    if (request_type == RT_STANDARD_DEVICE_IN) return standard_in(usbdev, request, value);
    if (request_type == RT_STANDARD_INTERFACE_IN)
        return interface_in(usbdev, request, value, index);
    if ((request_type & RT_TYPE_MASK) == RT_TYPE_CLASS)
        return class_request(usbdev, request_type, request, index);
    if (request_type == RT_STANDARD_DEVICE_OUT || request_type == RT_STANDARD_INTERFACE_OUT)
        return {false, {}}; // SET_* standard
    return {true, {}};
}

} // namespace emu::usb
