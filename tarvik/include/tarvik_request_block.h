/* The device request block: the one buffer of every board command between the
 * acquisition library and a board driver. It is a wire format shared with the
 * drivers: fixed offsets, little-endian, no padding. Usable from C and C++. */
#ifndef TARVIK_REQUEST_BLOCK_H
#define TARVIK_REQUEST_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define TARVIK_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define TARVIK_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the request block is little-endian; a big-endian host needs byte-swapping accessors"
#endif

/* Bytes of a block without data area ("short" requests). */
#define KORAL_REQUEST_BLOCK_SIZE 33600u
/* Offset of the data area; a block grown for n data words is 33600 + 2n bytes. */
#define KORAL_REQUEST_BLOCK_DATA_OFFSET 33596u
#define KORAL_SCAN_DATA_PIXELS 8352u

#pragma pack(push, 1)
typedef struct DeviceRequestBlock {
    uint16_t DriverVersion;     /* 0 out: driver version; USB open needs >= 1015 */
    uint16_t WorkMode;          /* 2 in: sensor work mode */
    uint16_t AcquisitionMode;   /* 4 in: 0 single, 1 averaging, 2 burst */
    uint16_t PreCnts;           /* 6 in: pre-scan count */
    uint16_t AcqIntCnts;        /* 8 in: acquisition integration interval count */
    uint16_t DelIntCnts;        /* 10 in: deleting interval count */
    uint16_t NumberPixel;       /* 12 in: 0xFFFF selects NumberPixelLong */
    uint16_t NumScans;          /* 14 in: scans per request */
    uint8_t FlashHW;            /* 16 in */
    uint8_t FlashOpt;           /* 17 in */
    uint16_t MuxMode;           /* 18 in */
    uint16_t MuxChanNum;        /* 20 in */
    uint16_t NoInterruptMode;   /* 22 in */
    uint16_t Reserved24;        /* 24 in: 10 after defaults, unused by the library */
    uint16_t FirmwareVersion;   /* 26 out: programmable logic version in hundredths */
    uint32_t TOTimeExtTrig;     /* 28 in: external-trigger time-out */
    uint16_t Status;            /* 32 out: 0 done, else code 101..199 */
    uint16_t StatusInfo;        /* 34 out */
    uint32_t DigitalOutputWord; /* 36 in: u16 value at 36, u16 index at 38 */
    uint32_t DigitalInputWord;  /* 40 in/out: u16 value at 40, u16 index at 42 */
    uint32_t RequestFlags;      /* 44 in: KORAL_RF_* bits */
    uint16_t WarningCode;       /* 48 out: 194..199, 0 none */
    uint16_t ETDelay;           /* 50 in */
    uint32_t NumberPixelLong;   /* 52 in */
    uint32_t ScanData[KORAL_SCAN_DATA_PIXELS]; /* 56 out: 100 x pixel value sums */
    uint16_t NumberPixel2;                     /* 33464 in: 0xFFFF selects NumberPixel2Long */
    uint16_t InputSource;                      /* 33466 in */
    uint8_t I2CDevice;                         /* 33468 in */
    uint8_t I2COperation;                      /* 33469 in */
    uint8_t I2CIndex;                          /* 33470 in: 255 selects I2CIndexLong */
    uint8_t I2CLength;                         /* 33471 in/out: 255 selects I2CLengthLong */
    uint8_t I2CData[8];                        /* 33472 in/out */
    uint8_t MuxSpec;                           /* 33480 in */
    uint8_t BoardId;                           /* 33481 out: 1..15 */
    uint16_t RingCapacity;                     /* 33482 in */
    uint32_t NumberPixel2Long;                 /* 33484 in */
    uint16_t ScansInRing;                      /* 33488 out */
    uint16_t ScansLost;                        /* 33490 out */
    uint16_t FirmwareType;                     /* 33492 in/out: 1 or 2; 0 chosen by the driver */
    uint16_t SaturationPeriod;                 /* 33494 in */
    uint8_t SaturationStart;                   /* 33496 in */
    uint8_t SaturationEndMargin;               /* 33497 in */
    uint8_t FEEType;                           /* 33498 in */
    uint8_t SensorType;                        /* 33499 in */
    uint8_t Unused33500[8];                    /* 33500 */
    uint16_t HardwareWord;                     /* 33508 out: generation in bits 12..15 */
    uint16_t Temperature;                      /* 33510 out */
    uint16_t I2CIndexLong;                     /* 33512 in */
    uint16_t I2CLengthLong;                    /* 33514 in */
    uint16_t BurstBlocks;                      /* 33516 in */
    uint16_t Gen2BufferSize;                   /* 33518 in */
    uint8_t Reserved33520[72];                 /* 33520 in: zero after defaults */
    uint32_t DataLength;                       /* 33592 in: 16-bit words in the data area */
    uint16_t Data[2];                          /* 33596 in/out: data area, grows with ExtraBytes */
} DeviceRequestBlock;
#pragma pack(pop)

#define KORAL_RB_OFFSET(f, o) TARVIK_STATIC_ASSERT(offsetof(DeviceRequestBlock, f) == (o), #f)
KORAL_RB_OFFSET(DriverVersion, 0);
KORAL_RB_OFFSET(WorkMode, 2);
KORAL_RB_OFFSET(AcquisitionMode, 4);
KORAL_RB_OFFSET(PreCnts, 6);
KORAL_RB_OFFSET(AcqIntCnts, 8);
KORAL_RB_OFFSET(DelIntCnts, 10);
KORAL_RB_OFFSET(NumberPixel, 12);
KORAL_RB_OFFSET(NumScans, 14);
KORAL_RB_OFFSET(FlashHW, 16);
KORAL_RB_OFFSET(FlashOpt, 17);
KORAL_RB_OFFSET(MuxMode, 18);
KORAL_RB_OFFSET(MuxChanNum, 20);
KORAL_RB_OFFSET(NoInterruptMode, 22);
KORAL_RB_OFFSET(Reserved24, 24);
KORAL_RB_OFFSET(FirmwareVersion, 26);
KORAL_RB_OFFSET(TOTimeExtTrig, 28);
KORAL_RB_OFFSET(Status, 32);
KORAL_RB_OFFSET(StatusInfo, 34);
KORAL_RB_OFFSET(DigitalOutputWord, 36);
KORAL_RB_OFFSET(DigitalInputWord, 40);
KORAL_RB_OFFSET(RequestFlags, 44);
KORAL_RB_OFFSET(WarningCode, 48);
KORAL_RB_OFFSET(ETDelay, 50);
KORAL_RB_OFFSET(NumberPixelLong, 52);
KORAL_RB_OFFSET(ScanData, 56);
KORAL_RB_OFFSET(NumberPixel2, 33464);
KORAL_RB_OFFSET(InputSource, 33466);
KORAL_RB_OFFSET(I2CDevice, 33468);
KORAL_RB_OFFSET(I2COperation, 33469);
KORAL_RB_OFFSET(I2CIndex, 33470);
KORAL_RB_OFFSET(I2CLength, 33471);
KORAL_RB_OFFSET(I2CData, 33472);
KORAL_RB_OFFSET(MuxSpec, 33480);
KORAL_RB_OFFSET(BoardId, 33481);
KORAL_RB_OFFSET(RingCapacity, 33482);
KORAL_RB_OFFSET(NumberPixel2Long, 33484);
KORAL_RB_OFFSET(ScansInRing, 33488);
KORAL_RB_OFFSET(ScansLost, 33490);
KORAL_RB_OFFSET(FirmwareType, 33492);
KORAL_RB_OFFSET(SaturationPeriod, 33494);
KORAL_RB_OFFSET(SaturationStart, 33496);
KORAL_RB_OFFSET(SaturationEndMargin, 33497);
KORAL_RB_OFFSET(FEEType, 33498);
KORAL_RB_OFFSET(SensorType, 33499);
KORAL_RB_OFFSET(Unused33500, 33500);
KORAL_RB_OFFSET(HardwareWord, 33508);
KORAL_RB_OFFSET(Temperature, 33510);
KORAL_RB_OFFSET(I2CIndexLong, 33512);
KORAL_RB_OFFSET(I2CLengthLong, 33514);
KORAL_RB_OFFSET(BurstBlocks, 33516);
KORAL_RB_OFFSET(Gen2BufferSize, 33518);
KORAL_RB_OFFSET(Reserved33520, 33520);
KORAL_RB_OFFSET(DataLength, 33592);
KORAL_RB_OFFSET(Data, KORAL_REQUEST_BLOCK_DATA_OFFSET);
TARVIK_STATIC_ASSERT(sizeof(DeviceRequestBlock) == KORAL_REQUEST_BLOCK_SIZE,
                     "a short request block is 33600 bytes");
#undef KORAL_RB_OFFSET

/* RequestFlags bits. */
#define KORAL_RF_BOARD_OPTION 0x1u    /* open with flag 8 */
#define KORAL_RF_WARN_CLASS1 0x2u     /* saturation and ADC warnings 198, 199 */
#define KORAL_RF_SCANS_TO_DATA 0x4u   /* scan values into Data instead of ScanData */
#define KORAL_RF_WARN_CLASS2 0x8u     /* FIFO and buffer warnings */
#define KORAL_RF_CONFIG_BYTES 0x10u   /* 256 configuration bytes follow in Data */
#define KORAL_RF_INTTIME 0x20u        /* set by the integration-time transfer */
#define KORAL_RF_GEN2_INIT 0x40u      /* generation-2 INIT flag */
#define KORAL_RF_DRV_GEN2_INIT 0x80u  /* driver's own flag, never set by the library */
#define KORAL_RF_FORCE_INIT 0x100u    /* force the driver to send its INIT block */
#define KORAL_RF_DRV_GEN1_INIT 0x400u /* driver's own flag, never set by the library */

/* Device-interface classes of the board types, as the drivers register them. */
#define KORAL_INTERFACE_CLASS_TYPE1 "{CE8DDB87-F962-4C3C-994B-BD5D4862BAA1}"
#define KORAL_INTERFACE_CLASS_TYPE4 "{F60C4F5D-D77E-49D5-A7E8-E731E13E8D79}"
#define KORAL_INTERFACE_CLASS_TYPE5 "{9957FFA4-5F95-4E79-B938-FF86676C05D4}"
#define KORAL_INTERFACE_CLASS_TYPE6 "{36FC9E60-C465-11CF-8056-444553400000}" /* kavrin */
#define KORAL_INTERFACE_CLASS_TYPE8 "{AEDF4DF0-99A6-419C-BB6B-C704975D8A38}"
#define KORAL_INTERFACE_CLASS_TYPE9 "{727081CF-9F46-4301-80A2-1210EC36552C}"
#define KORAL_INTERFACE_CLASS_TYPE101 "{77D001CC-3BB5-4D50-865D-ED037433F792}"

/* Board commands: number n travels as device type 0x9000, buffered, any access. */
#define KORAL_DEVICE_TYPE_BOARD 0x9000u
#define KORAL_BOARD_COMMAND_CODE(n) ((KORAL_DEVICE_TYPE_BOARD << 16) | ((uint32_t)(n) << 2))
#define KORAL_CMD_DEINIT 0x800u
#define KORAL_CMD_INIT 0x801u
#define KORAL_CMD_GET_SCANS 0x802u
#define KORAL_CMD_SET_DIGITAL_OUTPUT 0x803u
#define KORAL_CMD_GET_DIGITAL_INPUT 0x804u
#define KORAL_CMD_I2C_OPERATION 0x808u
#define KORAL_CMD_SET_INPUT_LATCH_MODE 0x809u
#define KORAL_CMD_OPEN 0x810u
#define KORAL_CMD_GET_TEMPERATURES 0x811u
#define KORAL_CMD_I2C_CHECK_DEVICE 0x8F9u
#define KORAL_CMD_BOOT_EEPROM 0x8FAu
#define KORAL_CMD_GET_FIRMWARE_ID 0x8FBu
#define KORAL_CMD_GET_USB_VERSION 0x8FCu
#define KORAL_CMD_PROGRAM_CPLD 0x8FFu
/* The sender accepts numbers up to this one. */
#define KORAL_CMD_MAX 0x8FCu

#define IOCTL_BOARD_DEINIT KORAL_BOARD_COMMAND_CODE(KORAL_CMD_DEINIT)
#define IOCTL_BOARD_INIT KORAL_BOARD_COMMAND_CODE(KORAL_CMD_INIT)
#define IOCTL_BOARD_GET_SCANS KORAL_BOARD_COMMAND_CODE(KORAL_CMD_GET_SCANS)
#define IOCTL_BOARD_SET_DIGITAL_OUTPUT KORAL_BOARD_COMMAND_CODE(KORAL_CMD_SET_DIGITAL_OUTPUT)
#define IOCTL_BOARD_GET_DIGITAL_INPUT KORAL_BOARD_COMMAND_CODE(KORAL_CMD_GET_DIGITAL_INPUT)
#define IOCTL_BOARD_I2C_OPERATION KORAL_BOARD_COMMAND_CODE(KORAL_CMD_I2C_OPERATION)
#define IOCTL_BOARD_SET_INPUT_LATCH_MODE KORAL_BOARD_COMMAND_CODE(KORAL_CMD_SET_INPUT_LATCH_MODE)
#define IOCTL_BOARD_OPEN KORAL_BOARD_COMMAND_CODE(KORAL_CMD_OPEN)
#define IOCTL_BOARD_GET_TEMPERATURES KORAL_BOARD_COMMAND_CODE(KORAL_CMD_GET_TEMPERATURES)
#define IOCTL_BOARD_I2C_CHECK_DEVICE KORAL_BOARD_COMMAND_CODE(KORAL_CMD_I2C_CHECK_DEVICE)
#define IOCTL_BOARD_BOOT_EEPROM KORAL_BOARD_COMMAND_CODE(KORAL_CMD_BOOT_EEPROM)
#define IOCTL_BOARD_GET_FIRMWARE_ID KORAL_BOARD_COMMAND_CODE(KORAL_CMD_GET_FIRMWARE_ID)
#define IOCTL_BOARD_GET_USB_VERSION KORAL_BOARD_COMMAND_CODE(KORAL_CMD_GET_USB_VERSION)
#define IOCTL_BOARD_PROGRAM_CPLD KORAL_BOARD_COMMAND_CODE(KORAL_CMD_PROGRAM_CPLD)

TARVIK_STATIC_ASSERT(IOCTL_BOARD_DEINIT == 0x90002000u, "DEINIT code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_INIT == 0x90002004u, "INIT code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_GET_SCANS == 0x90002008u, "GET_SCANS code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_SET_DIGITAL_OUTPUT == 0x9000200Cu, "SET_DIGITAL_OUTPUT code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_GET_DIGITAL_INPUT == 0x90002010u, "GET_DIGITAL_INPUT code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_I2C_OPERATION == 0x90002020u, "I2C_OPERATION code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_SET_INPUT_LATCH_MODE == 0x90002024u, "SET_INPUT_LATCH_MODE code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_OPEN == 0x90002040u, "OPEN code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_GET_TEMPERATURES == 0x90002044u, "GET_TEMPERATURES code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_I2C_CHECK_DEVICE == 0x900023E4u, "I2C_CHECK_DEVICE code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_BOOT_EEPROM == 0x900023E8u, "BOOT_EEPROM code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_GET_FIRMWARE_ID == 0x900023ECu, "GET_FIRMWARE_ID code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_GET_USB_VERSION == 0x900023F0u, "GET_USB_VERSION code");
TARVIK_STATIC_ASSERT(IOCTL_BOARD_PROGRAM_CPLD == 0x900023FCu, "PROGRAM_CPLD code");

#ifdef __cplusplus
}
#endif
#endif
