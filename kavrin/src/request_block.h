#pragma once
// The request block as the driver sees it. The layout is the library's one
// header (tarvik_request_block.h); the driver has its own names for several
// fields, mapped onto the library's fields here and nowhere else. A block is
// read and written by offset in the request's own buffer, never cast.

#include "tarvik_request_block.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kavrin {

template <class T, std::size_t Offset> struct BlockField {
    using Type = T;
    static constexpr std::size_t offset = Offset;
};

template <std::size_t Offset, std::size_t Size> struct BlockArea {
    static constexpr std::size_t offset = Offset;
    static constexpr std::size_t size = Size;
};

#define KAVRIN_FIELD(driverName, libraryName)                                                      \
    using driverName = BlockField<decltype(DeviceRequestBlock::libraryName),                       \
                                  offsetof(DeviceRequestBlock, libraryName)>
#define KAVRIN_AREA(driverName, libraryName)                                                       \
    using driverName = BlockArea<offsetof(DeviceRequestBlock, libraryName),                        \
                                 sizeof(DeviceRequestBlock::libraryName)>

namespace rb {
KAVRIN_FIELD(DriverVersion, DriverVersion);
KAVRIN_FIELD(SensorWorkMode, WorkMode);
KAVRIN_FIELD(AcquisitionMode, AcquisitionMode);
KAVRIN_FIELD(PreCnts, PreCnts);
KAVRIN_FIELD(AcqIntCnts, AcqIntCnts);
KAVRIN_FIELD(DelIntCnts, DelIntCnts);
KAVRIN_FIELD(PixelCount, NumberPixel);
KAVRIN_FIELD(NumScans, NumScans);
KAVRIN_FIELD(FlashHW, FlashHW);
KAVRIN_FIELD(FlashOpt, FlashOpt);
KAVRIN_FIELD(MuxMode, MuxMode);
KAVRIN_FIELD(MuxChanNum, MuxChanNum);
KAVRIN_FIELD(FirmwareVersion, FirmwareVersion);
KAVRIN_FIELD(TOTimeExtTrig, TOTimeExtTrig);
KAVRIN_FIELD(Status, Status);
KAVRIN_FIELD(StatusInfo, StatusInfo);
KAVRIN_FIELD(DigitalOutputWord, DigitalOutputWord);
KAVRIN_FIELD(DigitalInputWord, DigitalInputWord);
KAVRIN_FIELD(RequestFlags, RequestFlags);
KAVRIN_FIELD(Warning, WarningCode);
KAVRIN_FIELD(ETDelay, ETDelay);
KAVRIN_FIELD(PixelCount32, NumberPixelLong);
KAVRIN_AREA(ScanData, ScanData);
KAVRIN_FIELD(KeptPixelCount, NumberPixel2);
KAVRIN_FIELD(InputSourceFlags, InputSource);
KAVRIN_FIELD(I2cDevice, I2CDevice);
KAVRIN_FIELD(I2cOperation, I2COperation);
KAVRIN_FIELD(I2cIndex, I2CIndex);
KAVRIN_FIELD(I2cLength, I2CLength);
KAVRIN_AREA(I2cInlineData, I2CData);
KAVRIN_FIELD(MuxSpec, MuxSpec);
KAVRIN_FIELD(BoardId, BoardId);
KAVRIN_FIELD(RingCapacity, RingCapacity); // read as signed 16 bits by its users
KAVRIN_FIELD(KeptPixelCount32, NumberPixel2Long);
KAVRIN_FIELD(ScansInRing, ScansInRing);
KAVRIN_FIELD(LostScans, ScansLost);
KAVRIN_FIELD(FirmwareType, FirmwareType);
KAVRIN_FIELD(SaturationPeriod, SaturationPeriod);
KAVRIN_FIELD(SaturationStart, SaturationStart);
KAVRIN_FIELD(SaturationEndMargin, SaturationEndMargin);
KAVRIN_FIELD(FEEType, FEEType);
KAVRIN_FIELD(SensorType, SensorType);
KAVRIN_FIELD(HardwareWord, HardwareWord);
KAVRIN_FIELD(Temperature, Temperature);
KAVRIN_FIELD(I2cIndex16, I2CIndexLong);
KAVRIN_FIELD(I2cLength16, I2CLengthLong);
KAVRIN_FIELD(ExtFifoFullLevel, Gen2BufferSize);
KAVRIN_FIELD(DataLength, DataLength);
} // namespace rb

#undef KAVRIN_FIELD
#undef KAVRIN_AREA

// The driver's own value stamped into every answer.
inline constexpr uint16_t kDriverVersion = 3114;

// A request's buffer seen as a block; it holds at least the block without
// data area (fits()), and the data area is whatever follows offset 33596.
class RequestBlock {
public:
    explicit RequestBlock(std::span<uint8_t> bytes) : bytes_(bytes), inputBytes_(bytes.size()) {}
    // A request's buffer whose first inputBytes came from the caller.
    RequestBlock(std::span<uint8_t> bytes, std::size_t inputBytes)
        : bytes_(bytes), inputBytes_(std::min(inputBytes, bytes.size())) {}

    static bool fits(std::span<const uint8_t> bytes) {
        return bytes.size() >= KORAL_REQUEST_BLOCK_SIZE;
    }

    template <class Field> typename Field::Type get() const {
        typename Field::Type value{};
        std::memcpy(&value, bytes_.data() + Field::offset, sizeof value);
        return value;
    }
    template <class Field> void set(typename Field::Type value) {
        std::memcpy(bytes_.data() + Field::offset, &value, sizeof value);
    }
    template <class Area> std::span<uint8_t, Area::size> area() {
        return bytes_.subspan(Area::offset).template first<Area::size>();
    }
    // The data area: DataArea of the library, DataLength words as the library
    // sized it, bounded by the bytes the request really carries.
    std::span<uint8_t> dataArea() { return bytes_.subspan(KORAL_REQUEST_BLOCK_DATA_OFFSET); }
    // The bytes the caller sent.
    std::size_t inputBytes() const { return inputBytes_; }
    // What the caller sent of the data area: at most DataLength words.
    std::span<const uint8_t> inputDataArea() const {
        const std::size_t sent = inputBytes_ > KORAL_REQUEST_BLOCK_DATA_OFFSET
                                     ? inputBytes_ - KORAL_REQUEST_BLOCK_DATA_OFFSET
                                     : 0;
        const uint64_t declared = 2ull * get<rb::DataLength>();
        return bytes_.subspan(KORAL_REQUEST_BLOCK_DATA_OFFSET)
            .first(static_cast<std::size_t>(std::min<uint64_t>(sent, declared)));
    }

private:
    std::span<uint8_t> bytes_;
    std::size_t inputBytes_;
};

} // namespace kavrin
