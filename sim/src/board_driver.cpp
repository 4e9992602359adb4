// The request-block front end: a board's device-control requests.

#include "sim/board_driver.h"

namespace sim {

std::optional<platform::Guid> boardInterfaceClass(int interfaceType) {
    switch (interfaceType) {
    case 1:
        return kInterfaceClassType1;
    case 4:
        return kInterfaceClassType4;
    case 5:
        return kInterfaceClassType5;
    case 6:
        return kInterfaceClassType6;
    case 8:
        return kInterfaceClassType8;
    default:
        return std::nullopt;
    }
}

platform::DriverStatus dispatchBoardCreate(platform::DeviceObject& device,
                                           const platform::IoRequestPtr& request) {
    const BoardDevice& extension = device.extension<BoardDevice>();
    return request->complete(extension.board->config().busy ? platform::kStatusDeviceBusy
                                                            : platform::kStatusSuccess);
}

platform::DriverStatus dispatchBoardRequest(platform::DeviceObject& device,
                                            const platform::IoRequestPtr& request) {
    BoardDevice& extension = device.extension<BoardDevice>();
    if (extension.removeLock.acquire() != platform::kStatusSuccess) {
        return request->complete(platform::kStatusDeletePending);
    }
    const BoardModel::Answer answer =
        extension.board->handle(request->ioControlCode(), request->systemBuffer(),
                                request->inputBufferLength(), request->outputBufferLength());
    if (answer.hold) {
        request->markPending();
        if (extension.board->holdRequest(request)) {
            return platform::kStatusPending; // the hold on the remove lock goes with it
        }
        extension.removeLock.release();
        return request->complete(platform::kStatusCancelled);
    }
    request->setInformation(answer.information);
    extension.removeLock.release();
    return request->complete(answer.status);
}

} // namespace sim
