// The one symbol the driver module exports; nothing escapes it.

#include "driver.h"

VELDON_DRIVER_ENTRY(driver) {
    try {
        return kavrin::DriverEntry(*driver);
    } catch (...) {
        return platform::kStatusInsufficientResources;
    }
}
