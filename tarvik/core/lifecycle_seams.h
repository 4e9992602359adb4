#pragma once
// What the interface life cycle calls in parts of the library that come with
// later work: the hot-plug notification thread, the acquisition workers and
// the acquisition engine's helpers, the integration time, the front-end
// parameters, the hardware configuration, the multiplexer mode, the I2C
// components (light-source modules) and the cooled detector board.
//
// Each hook is filled by the part that owns the operation, when that part is
// set up (before any export runs), and by tests with no export under way.
// Until then a hook does what the life cycle needs of an interface without
// that part: nothing, and success. None of the defaults fakes a result that
// the part would compute; they only leave the slot as the life cycle left it.
//
// All hooks are called with the DeviceLock held (the notification thread's
// start and stop too, as the open and the close hold it throughout), with the
// interface's ID made the actual interface ID. A hook that fails writes the
// LastErrorRecord (ID, level, code, info) and leaves the function name and the
// box to the life cycle.

#include "acquisition/acquire_spectra.h"
#include "acquisition/acquisition_worker.h"
#include "acquisition/integration_time.h"
#include "core/device_notify.h"
#include "hardware/cooled_board.h"
#include "hardware/hardware_configuration.h"
#include "tarvik.h"

#include "platform/device.h"

#include <cstdint>
#include <functional>

namespace tarvik {

struct LifecycleSeams {
    // --- hot-plug notification of USB boards (types 6 and 8)
    // IsDeviceNotifyRunning: the thread object exists, has a thread and its
    // status is below 10.
    std::function<bool()> isDeviceNotifyRunning = &IsDeviceNotifyRunning;
    // StartDeviceNotifyThread (type 6 or 8): subscriber list and thread exist
    // and the thread watches the type's device-interface class. False fails
    // the open with level 5, code 508, info 835.
    std::function<bool(uint32_t interfaceType)> startDeviceNotifyThread = &StartDeviceNotifyThread;
    // RegisterHandleNotification (watch or stop watching one handle for its
    // removal). False when watching: the open fails as for no board found.
    // Never called with the placeholder or the invalid handle.
    std::function<bool(bool watch, platform::DeviceHandle handle)> registerHandleNotification =
        &RegisterHandleNotification;
    // StopNotificationThread when the last USB interface closes: stop the
    // thread (5000 ms, then terminate), close its handle, clear the
    // subscriber list; the object stays. The notification handlers must not
    // keep this stop waiting for the DeviceLock, which the close holds.
    std::function<void()> stopNotificationThread = &StopNotificationThread;

    // --- acquisition workers and the engine's helpers
    // The worker start of the initialise, called only while the ID's row of
    // the worker table holds no worker: thread created with {table, ID, ready event},
    // start event auto-reset, done event manual-reset for board type 1 and
    // auto-reset otherwise, demo flag as given; returns once the worker
    // signalled ready. False when the thread cannot be created (the
    // initialise records level 4, code 309, info 835).
    std::function<bool(int32_t interfaceId, uint32_t boardType, uint8_t demo)>
        startAcquisitionWorker = &StartAcquisitionThread;
    // StopAcquisitionThread (ID) at the close.
    std::function<void(int32_t interfaceId)> stopAcquisitionWorker = &StopAcquisitionThread;
    // InitializeType8Scaling (ID): the scale factors from the boot image's
    // bytes; false fails the initialise of a type-8 board (level 4, code 508).
    std::function<bool(int32_t interfaceId)> initializeType8Scaling = &InitializeType8Scaling;
    // SetAcquisitionShutter (ID, delay in ms, 1 open / 0 close): 0 or -1.
    std::function<int32_t(int32_t interfaceId, uint32_t delayMs, int32_t open)>
        setAcquisitionShutter = &SetAcquisitionShutter;

    // --- integration time
    // ApplyIntegrationTime (time in ms, in/out; kind 0 acquisition, 1
    // deleting; send) for the actual interface: 0, -2 limited (a level-7
    // record written), -1 or the sender's failure.
    std::function<int32_t(double* timeMs, int32_t kind, int32_t send)> applyIntegrationTime =
        &ApplyIntegrationTime;

    // --- front-end parameters
    // KORAL_ParaSetFEE_SensorType (front-end type, two configuration values,
    // ID), called with the box off by the initialise of board type 1.
    std::function<int32_t(uint32_t feeType, uint32_t value1, uint32_t value2, uint32_t interfaceId)>
        setFeeSensorType = &KORAL_ParaSetFEE_SensorType;

    // --- hardware configuration
    // The initialise's hardware configuration, with the box off: the
    // HWConfigurationEx2Record built from the slot (board type, front-end and
    // multiplexer type words, the channel count of the multiplexer type with
    // the low 12 bits of configuration word 260, and for every channel
    // channel 1's sensor type (-2 when bit 0x20 of the slot's configuration
    // word is set), pixel count, rows and fourth sensor word), applied with
    // KORAL_HWConfig_ParaSetHWConfigurationEx2 (0, record, ID). 0 or -1. The
    // life cycle applies the slot's integration times afterwards.
    std::function<int32_t(int32_t interfaceId)> applyHardwareConfiguration =
        &ApplySlotHardwareConfiguration;

    // --- multiplexer
    // KORAL_ParaSetMUXMode (mode, channel count, ID), with the box off; the
    // result is not used.
    std::function<int32_t(uint32_t mode, int32_t channels, uint32_t interfaceId)> setMuxMode =
        &KORAL_ParaSetMUXMode;

    // --- I2C components (light-source modules)
    // KORAL_ScanI2CComponents and KORAL_DeleteI2CComponents (ID, 0), with the
    // box off; their results are not used.
    std::function<int32_t(uint32_t interfaceId, uint32_t reserved)> scanI2CComponents =
        &KORAL_ScanI2CComponents;
    std::function<int32_t(uint32_t interfaceId, uint32_t reserved)> deleteI2CComponents =
        &KORAL_DeleteI2CComponents;

    // --- cooled detector board
    // The initialise of a slot whose front-end type is 11: create the board
    // object when there is none, let it check itself and hand it channel 1's
    // sensor values. 0, or -1 with the record written (level 4 with the code
    // mapped from the board's status, or level 5 code 201).
    std::function<int32_t(int32_t interfaceId)> prepareCooledDetectorBoard =
        &PrepareCooledDetectorBoard;
};

// The hooks in force.
LifecycleSeams& lifecycleSeams();

// Puts the defaults back (tests).
void resetLifecycleSeams();

} // namespace tarvik
