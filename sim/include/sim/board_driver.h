#pragma once
// The request-block front end of the simulated boards: what the board driver
// module (veldon_simdrv) needs to serve a board's device object. The module
// itself only wires these into the platform's plug-and-play routines.
//
// A board's device object is exclusive, of device type 0x9000, and exposes
// one interface of its interface type's class. The interfaces are registered
// in the order the boards arrive (set-up file order at load), so that member
// index = interface ID - 1 holds for types 1, 4 and 5; a board that is
// unplugged and plugged in again goes to the end of its class.

#include "sim/board_model.h"
#include "tarvik_request_block.h"

#include "platform/device.h"
#include "platform/driver.h"

#include <memory>
#include <optional>
#include <string>

namespace sim {

inline constexpr platform::Guid kInterfaceClassType1 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE1).value();
inline constexpr platform::Guid kInterfaceClassType4 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE4).value();
inline constexpr platform::Guid kInterfaceClassType5 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE5).value();
inline constexpr platform::Guid kInterfaceClassType6 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();
inline constexpr platform::Guid kInterfaceClassType8 =
    platform::Guid::parse(KORAL_INTERFACE_CLASS_TYPE8).value();

// The class of a board type; nothing for a type without a simulated board.
std::optional<platform::Guid> boardInterfaceClass(int interfaceType);

// The extension of a board's device object.
struct BoardDevice {
    std::shared_ptr<BoardModel> board;
    platform::RemoveLock removeLock;
    std::string interfacePath;
};

// The create routine: a board that another program holds open (BoardConfig::
// busy) refuses every open with kStatusDeviceBusy.
platform::DriverStatus dispatchBoardCreate(platform::DeviceObject& device,
                                           const platform::IoRequestPtr& request);

// The device-control routine: refuses once removal began
// (kStatusDeletePending), otherwise BoardModel::handle answers; a held
// request keeps a hold on the remove lock until it completes.
platform::DriverStatus dispatchBoardRequest(platform::DeviceObject& device,
                                            const platform::IoRequestPtr& request);

} // namespace sim
