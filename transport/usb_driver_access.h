// Access to the generic USB driver for the older device family: open the n-th device
// interface, probe and set the configuration, bind the bulk pipes, read and write them, issue
// vendor requests, read descriptors, release everything again; and the transport's two log
// helpers. Callers serialise use of one device under the library mutex.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/usbio_driver.h"

namespace velmora {

// The device-interface detail: the device path that opens the device and its pipes.
struct UsbInterfaceDetail {
    std::string devicePath;
};

using UsbHandle = std::unique_ptr<usbio::Handle>;
using UsbDetail = std::unique_ptr<UsbInterfaceDetail>;

constexpr uint8_t kWritePipeEndpoint = 0x02;  // bulk OUT
constexpr uint8_t kReadPipeEndpoint = 0x81;   // bulk IN
constexpr int kMaxDeviceInterfaces = 128;
constexpr uint32_t kUsbWritePiece = 64;
constexpr uint32_t kUsbReadPiece = 65536;
constexpr uint32_t kIoctlMaxPolls = 3000;
constexpr int32_t kVendorRequestMaxLength = 65535;
constexpr int kVendorTimeoutRepeats = 5;
constexpr size_t kDescriptorBufferSize = 64;
constexpr size_t kChannelLogSize = 512;
constexpr size_t kUsbErrorTextSize = 255;

// Layer statuses (beside the driver's).
constexpr usbio::Status kStatusNoEvent = 0xE0000100;
constexpr usbio::Status kStatusDetailSizeZero = 0xE0001000;
constexpr usbio::Status kStatusCannotOpenPath = 0xE0001100;

// Descriptor types the channel reads.
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorString = 3;

// 1 opened and the driver answered, 0 not (also at the end of the device interfaces).
int OpenDeviceInterface(UsbHandle* device, UsbDetail* detail, int index);
// Unconfigures (result ignored), closes and clears the device handle; frees the detail.
void ReleaseDevice(UsbHandle* device, UsbDetail* detail);
// The device's configuration value (1 = configured, in use by a holder), or -1 when the
// request failed.
int IsUSBMultibleDeviceAlreadyConfigured(usbio::Handle* device);
// Interface 0 with alternate setting 0, else 1. False (and an error line) when neither.
bool USBConfigureDevice(usbio::Handle* device);
// A pipe handle bound to the endpoint, or null.
UsbHandle USBOpenEP(const UsbInterfaceDetail* detail, uint8_t endpoint);
// Unbinds and closes: null when done, else the pipe handed back unchanged.
UsbHandle USBCloseEP(UsbHandle pipe);
// Bytes written, in pieces of at most 64, after the zero-length vendor OUT request.
uint32_t USBWrite(usbio::Handle* device, usbio::Handle* pipe, const uint8_t* data, uint32_t len);
// Bytes read within the budget of 50 + 0.02192 x len polls of 1 ms.
uint32_t USBRead(usbio::Handle* pipe, uint8_t* data, uint32_t len);
// The read budget in polls for len bytes.
uint32_t USBReadBudget(uint32_t len);
// Overlapped request, polled for at most 3,000 ms; its status.
usbio::Status USBIoctl(usbio::Handle* handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                       uint32_t outSize, uint32_t* count);
// Vendor IN request with the driver's repetitions. True with *reply holding the bytes the
// device sent (at most wLength); false after a refused length or a failed request.
bool USBVendorRequest(usbio::Handle* device, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, int32_t wLength,
                      std::vector<uint8_t>* reply);
// Reads a descriptor into *buffer; string descriptors are converted to a zero-terminated
// 8-bit text. False when the device refused the request.
bool USBGetDescriptor(uint8_t index, usbio::Handle* device, uint8_t type,
                      std::array<uint8_t, kDescriptorBufferSize>* buffer);

// "USBCommunication / <text>" in the library log (when it is on); text at most 511 chars.
void ChannelLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "USB  !E GetLastError(0x%08X) <text>" through ChannelLog; text at most 255 chars.
void LogUsbError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The calling thread's last driver status of this layer (what LogUsbError prints).
uint32_t LastUsbError();
void SetLastUsbError(uint32_t status);

}  // namespace velmora
