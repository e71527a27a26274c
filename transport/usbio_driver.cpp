// The process-wide choice of the USB driver backend.
#include "transport/usbio_driver.h"

#include <atomic>

namespace usbio {
namespace {

std::atomic<Driver*> g_driver{nullptr};

}  // namespace

Driver& GetDriver() {
    Driver* d = g_driver.load();
    return d ? *d : SystemDriver();
}

void SetDriver(Driver* driver) { g_driver.store(driver); }

}  // namespace usbio
