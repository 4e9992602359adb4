/* The acquisition library tarvik: its exported functions and the records that
 * cross its interface. Plain C with fixed-width types, usable from C and C++.
 *
 * Every export returns 0 on success and -1 on failure (-2 where a warning was
 * recorded or an interface was removed); the reason of a failure stands in the
 * one LastErrorRecord of the process, read with KORAL_GetErrorCode and turned
 * into text with KORAL_GetErrorString. */
#ifndef TARVIK_H
#define TARVIK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define TARVIK_ASSERT_LAYOUT(c, m) static_assert(c, m)
#else
#define TARVIK_ASSERT_LAYOUT(c, m) _Static_assert(c, m)
#endif

/* --- records ------------------------------------------------------------ */

#define KORAL_FUNCTION_NAME_SIZE 50

/* The last failure of any export. 68 bytes; copied out by KORAL_GetErrorCode. */
typedef struct LastErrorRecord {
    int32_t level;                               /* 0: ErrorLevel */
    int32_t code;                                /* 4: ErrorCodeSpace value */
    char functionName[KORAL_FUNCTION_NAME_SIZE]; /* 8: export that failed, zero-terminated */
    int32_t info;        /* 60: second code, driver info word, or platform error + 1000 */
    int32_t interfaceId; /* 64: interface concerned; 0 none or all */
} LastErrorRecord;

TARVIK_ASSERT_LAYOUT(offsetof(LastErrorRecord, level) == 0, "level");
TARVIK_ASSERT_LAYOUT(offsetof(LastErrorRecord, code) == 4, "code");
TARVIK_ASSERT_LAYOUT(offsetof(LastErrorRecord, functionName) == 8, "functionName");
TARVIK_ASSERT_LAYOUT(offsetof(LastErrorRecord, info) == 60, "info");
TARVIK_ASSERT_LAYOUT(offsetof(LastErrorRecord, interfaceId) == 64, "interfaceId");
TARVIK_ASSERT_LAYOUT(sizeof(LastErrorRecord) == 68, "LastErrorRecord is 68 bytes");

/* ErrorLevel: levels of 50 and above are warnings. */
#define KORAL_LEVEL_NONE 0
#define KORAL_LEVEL_HARDWARE 1        /* "HARDWARE ERROR FROM DRIVER" */
#define KORAL_LEVEL_MEMORY 2          /* "MEMORY ERROR" */
#define KORAL_LEVEL_DEVICE 3          /* "DEVICE ERROR" */
#define KORAL_LEVEL_NOT_DONE 4        /* "FUNCTION CALL NOT CORRECTLY DONE" */
#define KORAL_LEVEL_IGNORED 5         /* "FUNCTION CALL IGNORED" */
#define KORAL_LEVEL_DEFAULT_VALUE 6   /* "FUNCTION CALL EXECUTED WITH DEFAULT VALUE" */
#define KORAL_LEVEL_LIMITED_VALUE 7   /* "FUNCTION CALL EXECUTED WITH LIMITED VALUE" */
#define KORAL_LEVEL_WARNING_PIXELS 50 /* "WARNING: DACQ CONTAINS INVALID PIXEL DATA" */
#define KORAL_LEVEL_WARNING_LOST 51   /* "WARNING: SPECTRAL DATA LOST" */
#define KORAL_LEVEL_FIRST_WARNING 50

/* An info above this value is a platform error number plus this value. */
#define KORAL_PLATFORM_ERROR_BASE 1000

/* InterfaceType: the kind of electronics behind an interface ID. */
#define KORAL_INTERFACE_ISA 1u
#define KORAL_INTERFACE_SERIAL 3u /* serial electronics on a COM port */
#define KORAL_INTERFACE_PCI 4u
#define KORAL_INTERFACE_BOARD5 5u
#define KORAL_INTERFACE_USB 6u
#define KORAL_INTERFACE_USB2 8u
#define KORAL_INTERFACE_TYPE111 111u

/* Interface IDs 1..15; 0 addresses all open interfaces where an export allows it. */
#define KORAL_MAX_INTERFACE_ID 15

/* --- library set-up ----------------------------------------------------- */

/* Ordinal 171. All set-up happens when the library is loaded: 0. -1 when that
 * set-up failed (the record then says why; see KORAL_GetErrorCode). */
int32_t KORAL_InitLibrary(uint32_t unused1, uint32_t unused2, uint32_t unused3);
/* Ordinal 172. No effect: 0 (-1 when the library's set-up failed). */
int32_t KORAL_UnInitLibrary(uint32_t unused);
/* Ordinal 88. The interface ID that board commands go to, or 1 while no
 * interface is open. */
int32_t KORAL_GetActualInterfaceID(void);

/* --- interface life cycle ----------------------------------------------- */

/* Flags of the open (bits). */
#define KORAL_OPEN_NO_ERROR_BOX 0x1 /* failures of this open show no box (still recorded) */
#define KORAL_OPEN_KEEP_SLOT 0x2    /* a failure after the device was reached keeps the slot */
#define KORAL_OPEN_BOARD_OPEN                                                                      \
    0x4                       /* types 4, 6: IOCTL_BOARD_OPEN after the open; type 8: go on        \
                                 with a boot EEPROM image that fails its check */
#define KORAL_OPEN_OPTION 0x8 /* option bit of the board */

/* Ordinal 1. Opens interface ID (1..15; 0 means 1) for an interface type:
 * IDs 1..3 of type 1, 1..4 of types 4 and 5, 1..15 of types 3, 6 and 8; at
 * most 3 (type 1), 6 (type 3) or 4 (the others) open at a time, and only one
 * type at a time. USB boards (types 6 and 8) are found by their board id.
 * Reads the actual configuration. 0 or -1. */
int32_t KORAL_OpenOperationElectronicsDevice(int32_t flags, uint32_t interfaceType,
                                             uint32_t interfaceId /* 0 means 1 */);
/* Ordinal 170. The open; the last two arguments are not used. */
int32_t KORAL_OpenOperationElectronicsDeviceEx(int32_t flags, uint32_t interfaceType,
                                               uint32_t interfaceId, uint32_t unused1,
                                               uint32_t unused2);
/* Ordinal 2. Sends the parameters to the board and starts its acquisition.
 * flags bit 0: no error box for most failures. 0 or -1 (type 1: the result
 * of its sensor-type setting). */
int32_t KORAL_InitializeOperationElectronics(int32_t flags /* bit 0: no error box */,
                                             uint32_t interfaceId);
/* Ordinal 3. Stops the board (IOCTL_BOARD_DEINIT); not for type 3. 0 or -1. */
int32_t KORAL_DeInitializeOperationElectronics(uint32_t interfaceId);
/* Ordinal 4. Closes the interface and releases everything it holds; sends no
 * de-initialisation to the board. Also closes a removed USB board. 0 or -1. */
int32_t KORAL_CloseOperationElectronics(uint32_t interfaceId);
/* Ordinal 45. Closes the device only; the interface keeps its settings and
 * counts as open, and the next open of the ID opens the device again. */
int32_t KORAL_CloseOperationElectronicsWithoutDeInit(uint32_t interfaceId);
/* Ordinals 50, 51. Includes the interface in acquisitions of all interfaces,
 * or leaves it out. 0 or -1. */
int32_t KORAL_SetInterfaceActive(uint32_t interfaceId);
int32_t KORAL_SetInterfaceInActive(uint32_t interfaceId);

/* --- hot-plug of USB boards (types 6 and 8) ------------------------------ */

/* Posted to subscribers when a watched USB board goes or comes back:
 * wParam KORAL_NOTIFY_ARRIVAL or KORAL_NOTIFY_REMOVAL; lParam bits 0-7 the
 * interface ID, bit 8 success (arrival: the board was reopened and, when the
 * interface was initialised, initialised again; removal: its handle was
 * closed cleanly). While a board is away, exports on its ID fail with level
 * 5, code 511, info 808; KORAL_CloseOperationElectronics still closes it.
 * A client that is not a Qt program receives the messages in a queue of the
 * platform's message layer through its C interface, platform/messages_c.h
 * of libveldon_platform (the library's own message layer):
 * veldonRegisterThreadQueue() gives the calling thread's id, the target of
 * mode 1 (or veldonRegisterWindow() a window with a queue of its own, the
 * target of mode 0), and veldonGetMessage() waits for the next message. The
 * library watches the boards on a thread named "tarvik-notify", from the
 * first open of a USB interface to the last close or the unload. */
#define KORAL_WM_DEVICE_NOTIFY 0xA001u
#define KORAL_NOTIFY_ARRIVAL 1u
#define KORAL_NOTIFY_REMOVAL 2u
/* Ordinal 137. Subscribes a target while a USB interface is open: mode 0 a
 * window handle, mode 1 a thread id of the process's message layer (a Qt
 * program gets the messages as events through its adapter). interfaceId 0:
 * events of every interface. At most 17 subscribers; the last close of a USB
 * interface drops them all. 0 with the subscription handle (0x0C34xxxx)
 * written, or -1. */
int32_t KORAL_RegisterDeviceNotification(int32_t interfaceId /* 0 = all */,
                                         uint32_t target /* window handle or thread id */,
                                         uint32_t* handleOut,
                                         uint8_t mode /* 0 window, 1 thread */);
/* Ordinal 138. Ends a subscription. 0 or -1. */
int32_t KORAL_UnregisterDeviceNotification(uint32_t subscriptionHandle);

/* --- errors and warnings ------------------------------------------------ */

/* Ordinal 5. The error box: -2 query (1 on, 0 off); 1 or -1 on; 0 off; any
 * other value switches it on and returns -1. */
int32_t KORAL_ErrorMessages(int32_t mode);
/* Ordinal 27. Copies the record into the caller's 68-byte LastErrorRecord. */
int32_t KORAL_GetErrorCode(void* lastError);
/* Ordinal 81. The text of a code and info pair, truncated to bufferSize - 1
 * bytes and terminated. -1 for a null buffer or a size below 1 (nothing
 * written, nothing recorded). */
int32_t KORAL_GetErrorString(int32_t code, int32_t info, char* buffer, int32_t bufferSize);
/* Ordinal 93. Older warning switch: class 2 stays on in every mode. */
int32_t KORAL_WarningMessages(int32_t mode, uint32_t interfaceId /* 0 = all */);
/* Ordinal 118. Warning classes of the board (mode bit 0 class 1, bit 1 class
 * 2, -2 query the mode last set, 0 all off) and the warning box (showFlag). */
int32_t KORAL_WarningMessagesEx(int32_t mode, int32_t showFlag, uint32_t interfaceId /* 0 = all */);

/* --- sensor tables ------------------------------------------------------ */

/* Sensor type of a sensor described by the interface's sensor description file. */
#define KORAL_SENSOR_TYPE_FILE 128u

/* Ordinal 148. 1 when the configuration is valid, 0 when not, -1 when the
 * front end's clock had to be read from an interface that is not initialised.
 * a: bits 0-15 interface type, bits 16-31 interface ID (0 means 65535);
 * b: bits 0-15 front-end type, bits 16-31 its clock value (0 = read it from
 * the interface's front-end EEPROM; only for front-end types 9, 10, 11). */
int32_t KORAL_HWConfig_IsConfigSupported(int32_t a, int32_t b, uint32_t muxType,
                                         uint8_t sensorType);
/* Ordinal 149. 1 supported, 0 not, -1 unknown sensor type. */
int32_t KORAL_HWConfig_IsSensorLengthSupported(uint32_t sensorType, uint32_t pixels);
/* Ordinal 160. The sensor technology of a type (for type 128 with an interface
 * ID: that of the interface's description file), or -1. */
int32_t KORAL_HWConfig_GetSensorTechnology(uint32_t interfaceId /* 0 = none */, int32_t sensorType);
/* Ordinal 150. The number of pixel counts the type supports (may exceed the
 * capacity); the first `capacity` of them, ascending, go to pixelCounts, with
 * 0xFFFFFFFF standing for "any other count". -1 for an unknown type. */
int32_t KORAL_HWConfig_GetSupportedSensorLengths(uint32_t sensorType, int32_t capacity,
                                                 uint32_t* pixelCounts /* may be NULL */);
/* Ordinal 144. The serial multiplexer entry of the interface board EEPROM:
 * type (7 or 9), COM port and assembly code. 0 or -1. */
int32_t KORAL_HWConfig_GetMUXParams(uint32_t* muxType, uint32_t* comPort,
                                    uint32_t* assemblyCode /* each may be NULL */,
                                    uint32_t interfaceId);
/* Ordinal 143. Writes the serial multiplexer entry (type 0 removes it;
 * type 7 with assembly code 1..4, type 9 with 0..6; COM port 0..15). 0 or -1. */
int32_t KORAL_HWConfig_ChangeMUXParams(uint32_t muxType, int32_t comPort, uint32_t assemblyCode,
                                       uint32_t interfaceId);

/* --- actual configuration ----------------------------------------------- */

/* The hardware an interface actually has, worked out from its EEPROMs, its
 * sensor description file and its configured values. 148 bytes. Entries at
 * and beyond the channel count are 0. */
typedef struct ActualConfigurationRecord {
    uint32_t interfaceType;       /* 0: InterfaceType */
    uint32_t reserved;            /* 4: 0 */
    uint32_t frontEndType;        /* 8 */
    uint32_t muxType;             /* 12: 0 none; 1-6, 8 EEPROM multiplexers; 7, 9 serial */
    uint32_t channelCount;        /* 16 */
    uint32_t sensorType[8];       /* 20 */
    uint32_t pixelCount[8];       /* 52 */
    uint32_t rows[8];             /* 84: at least 1 */
    uint32_t fourthSensorWord[8]; /* 116 */
} ActualConfigurationRecord;

TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, frontEndType) == 8, "frontEndType");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, muxType) == 12, "muxType");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, channelCount) == 16, "channelCount");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, sensorType) == 20, "sensorType");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, pixelCount) == 52, "pixelCount");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, rows) == 84, "rows");
TARVIK_ASSERT_LAYOUT(offsetof(ActualConfigurationRecord, fourthSensorWord) == 116,
                     "fourthSensorWord");
TARVIK_ASSERT_LAYOUT(sizeof(ActualConfigurationRecord) == 148,
                     "ActualConfigurationRecord is 148 bytes");

/* Bytes of the record that KORAL_GetActualConfigurationEx copies (up to and
 * including the rows). */
#define KORAL_ACTUAL_CONFIGURATION_EX_SIZE 116u

/* ConfigurationFlags, the result of the configuration read. */
#define KORAL_CONFIG_INTERFACE_IMAGE 0x00000001u /* interface type from its EEPROM */
#define KORAL_CONFIG_FRONTEND_IMAGE 0x00000004u  /* front end and sensor from its EEPROM */
#define KORAL_CONFIG_MUX_IMAGE 0x00000008u       /* channels from the multiplexer EEPROM */
#define KORAL_CONFIG_SAME_AS_CHANNEL0(i) (0x00000100u << (i)) /* channel i equals channel 0 */
#define KORAL_CONFIG_ERROR 0x80000000u /* an error was recorded during the read */

/* Modes of the two exports: 0 read afresh, 1 and 2 read afresh and show the
 * information dialog, 3 the record read when the interface was opened. */

/* Ordinal 77. Writes interface type, reserved word, front-end type,
 * multiplexer type, channel count, sensor type and pixel count of channel 0.
 * Returns the ConfigurationFlags (not negative) or -1. */
int32_t KORAL_GetActualConfiguration(uint32_t mode, uint32_t values[7], uint32_t interfaceId);
/* Ordinal 123. Writes the first 116 bytes of the ActualConfigurationRecord.
 * Returns the ConfigurationFlags (not negative) or -1. */
int32_t KORAL_GetActualConfigurationEx(uint32_t mode, void* buffer, uint32_t interfaceId);

/* --- raw I2C and configuration EEPROM images ----------------------------- */

/* I2C addresses are in the 8-bit form of the bus (7-bit address << 1). One call
 * moves 1..8 bytes; index + count stays within 256. A failed read through a
 * board fills the count bytes with 0xFF. */

/* Ordinals 58..62. Full forms; Write_1_X, Read_1_X and Write_N_X take
 * addresses 0..240, Read_N_X and Programming_X 0..255. Programming writes,
 * reads back and compares on the board side. */
int32_t KORAL_I2C_Write_1_X(int32_t address, const uint8_t* buffer, int32_t count,
                            uint32_t interfaceId);
int32_t KORAL_I2C_Read_1_X(int32_t address, uint8_t* buffer, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_N_X(int32_t address, const uint8_t* buffer, int32_t index, int32_t count,
                            uint32_t interfaceId);
int32_t KORAL_I2C_Read_N_X(int32_t address, uint8_t* buffer, int32_t index, int32_t count,
                           uint32_t interfaceId);
int32_t KORAL_I2C_Programming_X(int32_t address, const uint8_t* buffer, int32_t index,
                                int32_t count, uint32_t interfaceId);

/* Ordinals 53..57. Older forms of the above; they refuse the protected
 * addresses (among them the configuration EEPROMs 0xA0, 0xA2, 0xA4) with code
 * 306 "I2C PROTECTED AREA". */
int32_t KORAL_I2C_Write_1(int32_t address, const uint8_t* buffer, int32_t count,
                          uint32_t interfaceId);
int32_t KORAL_I2C_Read_1(int32_t address, uint8_t* buffer, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_N(int32_t address, const uint8_t* buffer, int32_t index, int32_t count,
                          uint32_t interfaceId);
int32_t KORAL_I2C_Read_N(int32_t address, uint8_t* buffer, int32_t index, int32_t count,
                         uint32_t interfaceId);
int32_t KORAL_I2C_Programming(int32_t address, const uint8_t* buffer, int32_t index, int32_t count,
                              uint32_t interfaceId);

/* Ordinals 161, 162. The 64-byte customer data area (indexes 192..255) of the
 * interface board's EEPROM (selector 1) or the front end's (selector 2). */
int32_t KORAL_I2C_Read_EEPROM_CustData(uint32_t selector, uint32_t reserved, uint8_t* buffer,
                                       int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EEPROM_CustData(uint32_t selector, uint32_t reserved, const uint8_t* buffer,
                                        int32_t offset, int32_t count, uint32_t interfaceId);

/* Ordinals 63..72, 128, 129. Fixed areas from a base index of the interface
 * board's EEPROM (EP547 235, EP345 239, EP237 243, EP945 247, EP856 251) or
 * the front end's (EPF016 249); offset 0 or more from the base. */
int32_t KORAL_I2C_Read_EP856(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EP856(const uint8_t* buffer, int32_t offset, int32_t count,
                              uint32_t interfaceId);
int32_t KORAL_I2C_Read_EP945(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EP945(const uint8_t* buffer, int32_t offset, int32_t count,
                              uint32_t interfaceId);
int32_t KORAL_I2C_Read_EP237(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EP237(const uint8_t* buffer, int32_t offset, int32_t count,
                              uint32_t interfaceId);
int32_t KORAL_I2C_Read_EP345(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EP345(const uint8_t* buffer, int32_t offset, int32_t count,
                              uint32_t interfaceId);
int32_t KORAL_I2C_Read_EP547(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EP547(const uint8_t* buffer, int32_t offset, int32_t count,
                              uint32_t interfaceId);
int32_t KORAL_I2C_Read_EPF016(uint8_t* buffer, int32_t offset, int32_t count, uint32_t interfaceId);
int32_t KORAL_I2C_Write_EPF016(const uint8_t* buffer, int32_t offset, int32_t count,
                               uint32_t interfaceId);

/* Ordinals 79, 80. A whole 256-byte EEPROM image at an address 0..255. */
int32_t KORAL_I2C_Read_EEPROM_X(int32_t deviceAddress, uint8_t buffer[256], uint32_t interfaceId);
int32_t KORAL_I2C_Write_EEPROM_X(int32_t deviceAddress, const uint8_t buffer[256],
                                 uint32_t interfaceId);

/* Ordinals 151, 152. The boot EEPROM of a USB board (interface types 6 from
 * board generation 2, and 8). addressAndOptions: bits 0-15 the I2C address,
 * bit 16 the whole image (type 8: otherwise the first 16 bytes stay the
 * board's), bit 17 store the boot CRC before writing. *length is the byte
 * count; a type-8 read without bit 16 returns at most 240 and copies image
 * bytes 16 on to the buffer's start; a type-8 write takes 256 bytes. */
#define KORAL_BOOT_WHOLE_IMAGE 0x10000
#define KORAL_BOOT_STORE_CRC 0x20000
int32_t KORAL_I2C_Read_Boot_EEPROM(int32_t addressAndOptions, uint8_t* buffer, int32_t offset,
                                   int32_t* length, uint32_t interfaceId);
int32_t KORAL_I2C_Write_Boot_EEPROM(int32_t addressAndOptions, const uint8_t* buffer,
                                    int32_t offset, int32_t* length, uint32_t interfaceId);

/* --- raw-data records and stored values --------------------------------- */

/* A raw-data record keeps what the acquisitions measured on the channels it is
 * mapped to. The client holds its handle, a 32-bit value (0: none), in a
 * variable and passes the variable's address. A handle that is 0, unknown or
 * of a freed record is refused with level 5, code 505, info 806 "INVALID
 * CHANNEL IDENTITY", interface ID 0 (the mapping reports its interface ID). A
 * null output pointer is refused with 5/505/0. */

/* Ordinal 31. Allocates a record into *rawDataHandle, which must hold 0;
 * 2/201/0 when memory or handles are short (the variable then stays 0). */
int32_t KORAL_AllocRawData(uint32_t* rawDataHandle);
/* Ordinal 32. Frees the record, unmaps it from every channel and sets the
 * variable to 0. */
int32_t KORAL_FreeRawData(uint32_t* rawDataHandle);
/* Ordinal 30. Maps the record to a channel 1..8 of the interface (which must
 * exist); the acquisitions of that channel fill it from now on. One record
 * may serve several channels. */
int32_t KORAL_ParaSetMapping(uint32_t* rawDataHandle, int32_t channel, uint32_t interfaceId);
/* Ordinals 16..18. Spectra (or dark current) of the interface, or of every
 * active, initialised one (ID 0), into the raw-data records mapped to the
 * channels measured. 0, -2 a driver warning (the record holds it), -1.
 * KORAL_GetSpectra opens and closes the shutter around the acquisition when
 * the shutter control mode is 1; KORAL_GetDarkCurrentWithShutter closes it
 * around the dark current when the mode is 0. */
int32_t KORAL_GetSpectra(uint32_t interfaceId);
int32_t KORAL_GetDarkCurrent(uint32_t interfaceId);
int32_t KORAL_GetDarkCurrentWithShutter(uint32_t shutterDelayMs, uint32_t interfaceId);
/* Ordinal 13. 1 or -1: new spectra are corrected with the stored dark
 * current; 0: kept raw. Other modes: 5/505/0 without the error box. */
int32_t KORAL_ParaSetDarkCurrentCorrectionMode(uint32_t* rawDataHandle, int32_t mode);

/* Ordinals 33..35. Copy the N values of the last spectrum (the first of a
 * burst), its pixel numbers or the dark current; N is the stored pixel count.
 * Nothing is copied while the record holds fewer than N values. */
int32_t KORAL_GetStoredRawData(uint32_t* rawDataHandle, double* spectrumOut);
int32_t KORAL_GetStoredPixelnumber(uint32_t* rawDataHandle, double* pixelNumbersOut);
int32_t KORAL_GetStoredDarkcurrentData(uint32_t* rawDataHandle, double* darkOut);
/* Ordinals 36..38. The dark state (1: the last spectrum was dark-corrected),
 * the average number and the integration time in ms of the last spectrum.
 * Without a record the output is set to 0. */
int32_t KORAL_GetStoredDarkModeSettings(uint32_t* rawDataHandle, int32_t* darkState);
int32_t KORAL_GetStoredAverageNumber(uint32_t* rawDataHandle, int32_t* averageNumber);
int32_t KORAL_GetStoredIntegrationtime(uint32_t* rawDataHandle, double* integrationTimeMs);
/* Ordinal 39. Second, minute, hour, day, month, year of the last spectrum
 * acquisition; 5/506/808 while the record was never stamped (output
 * unchanged). Without a record the output is set to zeros. */
int32_t KORAL_GetStoredTime(uint32_t* rawDataHandle,
                            uint16_t timeOut[6] /* s, min, h, day, month, year */);
/* Ordinal 135. The intensity extremes since the last spectrum acquisition
 * began (a new record: 100000.0, -100000.0, 100.0, -100.0). */
int32_t KORAL_GetStoredIntensity(uint32_t* rawDataHandle, double* minimum, double* maximum,
                                 double* minimumPercent,
                                 double* maximumPercent /* each may be NULL */);

/* Ordinal 44. Empties the dark current. */
int32_t KORAL_DeleteDarkcurrentData(uint32_t* rawDataHandle);
/* Ordinals 154, 153. Copy the N dark-current values to the saved copy and
 * back; nothing while the dark current holds fewer than N values. */
int32_t KORAL_SaveDarkcurrentData(uint32_t* rawDataHandle);
int32_t KORAL_RestoreDarkcurrentData(uint32_t* rawDataHandle);
/* Ordinal 49. Subtracts the mean of the first n spectrum values from the
 * spectrum; 0 < n < the number of stored values, else 5/505/0. */
int32_t KORAL_DarkCurrentCorrWithFirstPixel(uint32_t* rawDataHandle, int32_t n);
/* Ordinal 167. on != 0: the dark current of every new spectrum of the
 * interface is the mean of its pixels firstPixel..lastPixel (0 <= first <=
 * last <= 9, else 5/505/831); on = 0: off. Needs an initialised interface. */
int32_t KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(int32_t on, int32_t firstPixel,
                                                    int32_t lastPixel, uint32_t interfaceId);

/* --- sensor parameters of the configuration EEPROMs ---------------------- */

/* One channel's sensor: type code (128 = described by the sensor description
 * file), pixel count, rows, fourth sensor word and the wavelength
 * coefficients c0..c4. 56 bytes. */
typedef struct SensorParamsEx2Record {
    uint32_t size;             /* 0: 56 */
    uint16_t sensorType;       /* 4 */
    uint16_t pixelCount;       /* 6 */
    uint16_t rows;             /* 8: 1 for a line sensor */
    uint16_t fourthSensorWord; /* 10: 1, or 64 for technology-3 sensors */
    uint32_t reserved;         /* 12: 0 */
    double c0;                 /* 16 */
    double c1;                 /* 24 */
    double c2;                 /* 32 */
    double c3;                 /* 40 */
    double c4;                 /* 48 */
} SensorParamsEx2Record;

TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, size) == 0, "size");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, sensorType) == 4, "sensorType");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, pixelCount) == 6, "pixelCount");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, rows) == 8, "rows");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, fourthSensorWord) == 10, "fourthSensorWord");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, reserved) == 12, "reserved");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, c0) == 16, "c0");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, c1) == 24, "c1");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, c2) == 32, "c2");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, c3) == 40, "c3");
TARVIK_ASSERT_LAYOUT(offsetof(SensorParamsEx2Record, c4) == 48, "c4");
TARVIK_ASSERT_LAYOUT(sizeof(SensorParamsEx2Record) == 56, "SensorParamsEx2Record is 56 bytes");

/* One channel entry of HWConfigurationEx2Record. */
typedef struct HWConfigurationChannelEntry {
    int16_t sensorType;       /* 0: first entry: -1 keep, -2 from the EEPROM images */
    int16_t pixelCount;       /* 2: as sensorType */
    int16_t rows;             /* 4 */
    int16_t fourthSensorWord; /* 6 */
} HWConfigurationChannelEntry;

/* The hardware configuration of an interface as a whole. 144 bytes. */
typedef struct HWConfigurationEx2Record {
    uint32_t size;                           /* 0: 144 */
    uint16_t interfaceType;                  /* 4: filled by the get */
    int16_t frontEndType;                    /* 6: 0..11; -1 keep */
    int16_t muxType;                         /* 8: 0..10 (0 none); -1 keep */
    int16_t channelCount;                    /* 10: entries that follow */
    uint32_t reserved;                       /* 12: 0 */
    HWConfigurationChannelEntry channel[16]; /* 16 + 8 * i */
} HWConfigurationEx2Record;

TARVIK_ASSERT_LAYOUT(sizeof(HWConfigurationChannelEntry) == 8, "channel entry is 8 bytes");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationChannelEntry, pixelCount) == 2, "pixelCount");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationChannelEntry, rows) == 4, "rows");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationChannelEntry, fourthSensorWord) == 6,
                     "fourthSensorWord");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, size) == 0, "size");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, interfaceType) == 4, "interfaceType");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, frontEndType) == 6, "frontEndType");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, muxType) == 8, "muxType");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, channelCount) == 10, "channelCount");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, reserved) == 12, "reserved");
TARVIK_ASSERT_LAYOUT(offsetof(HWConfigurationEx2Record, channel) == 16, "channel");
TARVIK_ASSERT_LAYOUT(sizeof(HWConfigurationEx2Record) == 144,
                     "HWConfigurationEx2Record is 144 bytes");

/* Ordinal 159. The sensor parameters of the front-end image, or of a
 * multiplexer channel (1..channel count) of the multiplexer image. When the
 * image holds none: the defaults (0, 256, 1, 1, 300.0, 3.0, 0, 0, 0) and -1
 * with the warning 6/826/0. reserved must be 0. */
int32_t KORAL_HWConfig_GetSensorParamsEx2(uint32_t reserved, SensorParamsEx2Record* record,
                                          int32_t channel, uint32_t interfaceId);
/* Ordinal 145. As above into eight outputs (none may be NULL); a stored rows
 * word of 0 or 0xFFFF reads as 1. */
int32_t KORAL_HWConfig_GetSensorParams2(uint32_t* sensorType, uint32_t* pixels, uint32_t* rows,
                                        double* c0, double* c1, double* c2, double* c3, double* c4,
                                        int32_t channel, uint32_t interfaceId);
/* Ordinals 84 and 121, older forms: outputs written on success only; a
 * stored c4 further than 1e-7 from 0 fails with 5/505/843. */
int32_t KORAL_HWConfig_GetSensorParams(uint32_t* sensorType, uint32_t* pixels, double* c0,
                                       double* c1, double* c2, double* c3, int32_t channel,
                                       uint32_t interfaceId);
int32_t KORAL_HWConfig_GetSensorParamsEx(uint32_t* sensorType, uint32_t* pixels, uint32_t* rows,
                                         double* c0, double* c1, double* c2, double* c3,
                                         int32_t channel, uint32_t interfaceId);
/* Ordinal 158. Writes the record's sensor parameters into the front-end
 * image, or into the channel's entry (1..8) of the multiplexer image when a
 * multiplexer is in use, in the slot and in the EEPROM. Coefficients must be
 * finite and within float range. */
int32_t KORAL_HWConfig_ChangeSensorParamsEx2(uint32_t reserved, SensorParamsEx2Record* record,
                                             int32_t channel, uint32_t interfaceId);
/* Ordinals 146, 147: plain-argument forms (type checked against the sensor
 * table; the pixel count against its lengths in the first). */
int32_t KORAL_HWConfig_ChangeSensorParams2(uint32_t sensorType, int32_t pixels, int32_t rows,
                                           double c0, double c1, double c2, double c3, double c4,
                                           uint32_t channel, uint32_t interfaceId);
int32_t KORAL_HWConfig_ChangeSensorParams2X(uint32_t ignored, uint16_t sensorType, uint16_t pixels,
                                            double c0, double c1, double c2, double c3, double c4,
                                            uint32_t channel, uint32_t interfaceId);
/* Ordinals 85, 122, 86: older forms with c4 = 0 (and rows 1 in the first). */
int32_t KORAL_HWConfig_ChangeSensorParams(uint32_t sensorType, int32_t pixels, double c0, double c1,
                                          double c2, double c3, uint32_t channel,
                                          uint32_t interfaceId);
int32_t KORAL_HWConfig_ChangeSensorParamsEx(uint32_t sensorType, int32_t pixels, int32_t rows,
                                            double c0, double c1, double c2, double c3,
                                            uint32_t channel, uint32_t interfaceId);
int32_t KORAL_HWConfig_ChangeSensorParamsX(uint32_t ignored, uint16_t sensorType, uint16_t pixels,
                                           double c0, double c1, double c2, double c3,
                                           uint32_t channel, uint32_t interfaceId);
/* Ordinal 173. Not available: always 5/506/819. */
int32_t KORAL_HWConfig_ChangeSensorParamsTemp(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4);

/* --- device features, digital lines and temperatures --------------------- */

/* The firmware-managed temperature sensors of an interface. 56 bytes. */
#define KORAL_MAX_TEMPERATURE_SENSORS 8
typedef struct TemperatureRecord {
    uint32_t size;                                    /* 0: 56 */
    int16_t count;                                    /* 4: sensors reported, 0..8 */
    uint16_t unused;                                  /* 6 */
    uint16_t sensorId[KORAL_MAX_TEMPERATURE_SENSORS]; /* 8 */
    float temperature[KORAL_MAX_TEMPERATURE_SENSORS]; /* 24: degrees Celsius */
} TemperatureRecord;

TARVIK_ASSERT_LAYOUT(offsetof(TemperatureRecord, count) == 4, "count");
TARVIK_ASSERT_LAYOUT(offsetof(TemperatureRecord, sensorId) == 8, "sensorId");
TARVIK_ASSERT_LAYOUT(offsetof(TemperatureRecord, temperature) == 24, "temperature");
TARVIK_ASSERT_LAYOUT(sizeof(TemperatureRecord) == 56, "TemperatureRecord is 56 bytes");

/* Ordinals 107, 108. Flash polarity -1, 0, 1 (types 4, 5, 6, 8); external
 * trigger delay 1..65535 (types 4, 5, 6). Sent with the parameters. */
int32_t KORAL_ParaSetFlashPolarity(int32_t polarity, uint32_t interfaceId);
int32_t KORAL_ParaSetTriggerDelay(int32_t delay, uint32_t interfaceId);
/* Ordinal 109. Multiplexer mode, the setting KORAL_ParaSetMUXMode stored and
 * the channel count (none may be NULL). */
int32_t KORAL_ParaGetMUXSettings(uint32_t* mode, uint32_t* setting, uint32_t* channels,
                                 uint32_t interfaceId);
/* Ordinal 113. The serial number 0..65535 of the interface board (1), the
 * front end (2) or the multiplexer (3) from its EEPROM image, or -1. */
int32_t KORAL_GetSerialNumber(int32_t which, uint32_t interfaceId);
/* Ordinals 130, 131. 1 the line 1..3 exists on the board, 0 not, -1 error. */
int32_t KORAL_IsDigOutputAvailable(int32_t output, uint32_t interfaceId);
int32_t KORAL_IsDigInputAvailable(int32_t input, uint32_t interfaceId);
/* Ordinal 132. Library-wide: mode 1 keeps the shutters closed between
 * acquisitions, 0 open; the delay (ms, >= 0) is waited after each switch. */
int32_t KORAL_ParaSetShutterControlMode(int32_t mode, int32_t shutterDelayMs);
/* Ordinal 142. The version of the board's programmable logic in hundredths. */
int32_t KORAL_ParaGetPLDVersion(uint32_t* version, uint32_t ignored, uint32_t interfaceId);
/* Ordinals 175..179. Not supported: always -1 with 5/506/819. */
int32_t KORAL_ParaSet_CallBack_Acq_Status(uint32_t a1, uint32_t a2, uint32_t a3);
int32_t KORAL_SetShutterPosition(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4);
int32_t KORAL_GetSpectraEx(uint32_t a1, uint32_t a2);
int32_t KORAL_IOGetDigInputs(uint32_t a1, uint32_t a2, uint32_t a3);
int32_t KORAL_IOSetDigOutputs(uint32_t a1, uint32_t a2, uint32_t a3);

/* Ordinals 19..24. Output lines: level 1 or -1 high, any other value low.
 * FEESEL0, FEESEL1 and ZEILRES exist on ISA boards with a multiplexer only. */
int32_t KORAL_IOSetFEESEL0(int32_t level, uint32_t interfaceId);
int32_t KORAL_IOSetFEESEL1(int32_t level, uint32_t interfaceId);
int32_t KORAL_IOSetZEILRES(int32_t level, uint32_t interfaceId);
int32_t KORAL_IOSetDigOutput1(int32_t level, uint32_t interfaceId);
int32_t KORAL_IOSetDigOutput2(int32_t level, uint32_t interfaceId);
int32_t KORAL_IOSetDigOutput3(int32_t level, uint32_t interfaceId);
/* Ordinals 25, 26, 87. *value = 1 when the input is high, 0 when low. */
int32_t KORAL_IOGetDigInput1(uint32_t* value, uint32_t interfaceId);
int32_t KORAL_IOGetDigInput2(uint32_t* value, uint32_t interfaceId);
int32_t KORAL_IOGetDigInput3(uint32_t* value, uint32_t interfaceId);
/* Ordinal 139. Latch mode 0..3 of inputs 1 and 2 (generation-2 USB boards:
 * 0..7 of inputs 1 to 3). */
int32_t KORAL_ParaSetInputLatchMode(uint32_t mode, uint32_t interfaceId);

/* Ordinal 106. The board's own sensor (types 5 and 8), in degrees Celsius
 * to half a degree. The interface ID comes first. */
int32_t KORAL_GetBoardTemperature(uint32_t interfaceId, double* temperature);
/* Ordinals 163, 164. The firmware's sensors (driver version 2507 on): all of
 * them into the record (record->size 56), or one by its index in that list. */
int32_t KORAL_I2C_GetAllTemperatures(uint32_t reserved, TemperatureRecord* record,
                                     uint32_t interfaceId);
int32_t KORAL_I2C_GetTemperature(uint32_t reserved, int32_t sensorIndex, float* temperature,
                                 uint32_t interfaceId);

/* --- burst and buffered acquisition, multi-parameter record -------------- */

/* Ordinal 92 (interface types 1, 4, 5, 6; work modes 1..5, 8..13, 0xFF01..
 * 0xFF04, 0xFF26). Every later spectrum is a burst of *burstNumber (1..30000)
 * scans, stored one after another in the mapped records, until an average
 * number is set. A limited value is written back, sent and gives -1 with
 * 7/505/0. */
int32_t KORAL_ParaSetBurstNumber(int32_t* burstNumber, uint32_t interfaceId);
/* Ordinal 168 (interface type 4, work mode 0xFF26): bursts in 1..30000
 * blocks; *burstNumber x blocks is limited to 30000. */
int32_t KORAL_ParaSetBurstNumberExt(int32_t* burstNumber, int32_t blocks, uint32_t interfaceId);
/* Ordinals 74, 73. One burst of burstNumber scans; the raw 16-bit words of
 * the board follow in the output (burst number x pixels of them), widened
 * with their sign in the long form. The interface's mode comes back after. */
int32_t KORAL_GetSpectraBurst(int32_t burstNumber, uint16_t* wordsOut, uint32_t interfaceId);
int32_t KORAL_GetSpectraBurstLong(int32_t burstNumber, uint32_t* valuesOut, uint32_t interfaceId);
/* Ordinal 91. Number of spectra the record holds from its last acquisition. */
int32_t KORAL_GetStoredBurstNumber(uint32_t* rawDataHandle, uint32_t* burstNumber);
/* Ordinal 90. The k-th (1-based) spectrum of the record's last burst: its
 * N values; k outside 1..stored burst number: 5/505/831. */
int32_t KORAL_GetStoredRawDataBurst(uint32_t* rawDataHandle, int32_t k, double* out);
/* Ordinal 124 (work modes 7, 0xFF21, 0xFF25). Scans the board's ring keeps,
 * 1..256. */
int32_t KORAL_ParaSetSpecBuffer(int32_t depth, uint32_t interfaceId);
/* Ordinal 125 (work modes 7, 0xFF20, 0xFF21, 0xFF25; ID 1..15). The oldest
 * scan of the board's ring into the mapped records; *scansHeld: the scans the
 * ring held with it, *scansLost: the scans lost since the last read. 0, -2 a
 * warning (a loss gives 196 once warning class 2 is on), -1. */
int32_t KORAL_GetBufferedSpectra(uint32_t* scansHeld, uint32_t* scansLost, uint32_t interfaceId);
/* Ordinal 126 (interface type 4). Pre-count and interval count, 0..65535. */
int32_t KORAL_ParaSetHardwareTimer(int32_t preCount, int32_t intervalCount, uint32_t interfaceId);
/* Ordinal 174. Not available: always 5/506/819. */
int32_t KORAL_GetStoredTimeStamp(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5);

/* The main acquisition parameters in one record; every field has a value
 * that leaves its parameter as it is. 56 bytes; the library writes limited
 * values back. */
typedef struct MultiParameterRecord {
    uint32_t size;            /* 0: 56 */
    uint32_t reserved;        /* 4: not read */
    double acquisitionTimeMs; /* 8: < 0 unchanged; the applied time comes back */
    double deletingTimeMs;    /* 16: < 0 unchanged; the applied time comes back */
    int32_t count;            /* 24: average 1..100 or burst 1..30000; < 0 unchanged */
    int32_t burstSelector;    /* 28: 0 average, 1 burst, other: as the interface is */
    int32_t burstBlocks;      /* 32: with a burst; < 1 means 1 */
    uint32_t workMode;        /* 36: 0xFFFFFFFF unchanged */
    uint32_t options;         /* 40: 0xFFFFFFFF unchanged; bit 1 generation-2 flag off */
    int32_t triggerTimeoutMs; /* 44: 100..28800000; < 0 unchanged */
    uint32_t flash;           /* 48: 0 off, 1 on, other unchanged */
    uint32_t flashOption;     /* 52: with flash != 0: 1 sets the flash option */
} MultiParameterRecord;

TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, acquisitionTimeMs) == 8, "acquisitionTimeMs");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, deletingTimeMs) == 16, "deletingTimeMs");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, count) == 24, "count");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, burstSelector) == 28, "burstSelector");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, burstBlocks) == 32, "burstBlocks");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, workMode) == 36, "workMode");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, options) == 40, "options");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, triggerTimeoutMs) == 44, "triggerTimeoutMs");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, flash) == 48, "flash");
TARVIK_ASSERT_LAYOUT(offsetof(MultiParameterRecord, flashOption) == 52, "flashOption");
TARVIK_ASSERT_LAYOUT(sizeof(MultiParameterRecord) == 56, "MultiParameterRecord is 56 bytes");

/* Ordinal 169. Applies the record's fields as the single setters would and
 * sends them in one transfer; not for interface type 3. A limited value gives
 * -1 with its level-7 record after the send. The record names the export
 * "KORAL_KORAL_ParaSetMultParameter". */
int32_t KORAL_ParaSetMultParameter(void* record, uint32_t interfaceId);

/* --- linearization and intensity search --------------------------------- */

/* Ordinal 110. Loads the sensor's standard coefficients into every record
 * mapped to the interface (on != 0), or releases them (on = 0). */
int32_t KORAL_Linearization(int32_t on, uint32_t interfaceId);
/* Ordinals 111, 112. The same for one record; the Ex form loads the named
 * coefficient file. A record that holds coefficients keeps them until they
 * are released. */
int32_t KORAL_LinearizationChannel(uint32_t* rawDataHandle, int32_t on);
int32_t KORAL_LinearizationChannelEx(uint32_t* rawDataHandle, int32_t on, const char* fileName);
/* Ordinal 134. The longest integration time (whole ms, within lowerMs..upperMs;
 * upperMs <= 0: the maximum) at which the sensor does not overflow, found by
 * real acquisitions; the interface keeps its integration time. 0 found; -1
 * failure; -2 the firmware lacks the function; -3 no overflow within the
 * range; -5 overflow already at the shortest time. At least one output. */
int32_t KORAL_DetermineMaxIntensity(int32_t lowerMs, int32_t upperMs, int32_t* foundTimeMs,
                                    int32_t* foundFlashCount, uint32_t interfaceId);
/* Ordinal 94. The same, the time as a double (written on 0 only). */
int32_t KORAL_GetMaxInttime4ADC(uint32_t interfaceId, int32_t lowerMs, int32_t upperMs,
                                double* foundTimeMs);

/* --- light-source modules (the interface ID comes first). The scan (ordinal
 * 95) lists the modules at I2C 0x40..0x4A at positions 1..6 and returns how
 * many addresses answered; the open does it. A client marks the positions it
 * uses with KORAL_LS_Initialize (kind: 1..3 lamp modules by their lamps, 0 no
 * known lamp, 4 flash module). Time-outs in ms (lamps at most 120000, the
 * shutter 5000); 0 switches without waiting. Lamp mask: bit 0 lamp 1, bit 1
 * lamp 2, 0 the module's default lamps. */
int32_t KORAL_ScanI2CComponents(uint32_t interfaceId, uint32_t reserved);
int32_t KORAL_DeleteI2CComponents(uint32_t interfaceId, uint32_t reserved);
int32_t KORAL_LS_Initialize(uint32_t interfaceId, int32_t position, uint32_t reserved,
                            uint32_t* kind);
int32_t KORAL_LS_OpenShutter(uint32_t interfaceId, int32_t position, uint32_t timeoutMs);
int32_t KORAL_LS_CloseShutter(uint32_t interfaceId, int32_t position, uint32_t timeoutMs);
int32_t KORAL_LS_PowerON(uint32_t interfaceId, int32_t position, uint8_t lampMask,
                         uint32_t timeoutMs);
int32_t KORAL_LS_PowerOFF(uint32_t interfaceId, int32_t position, uint8_t lampMask,
                          uint32_t timeoutMs);
/* *open: 1 open, 0 closed. */
int32_t KORAL_LS_GetShutterPosition(uint32_t interfaceId, int32_t position, uint32_t* open);
/* Lamp modules: the status byte (bit 0 lamp 2 off, bit 1 lamp 1 off, bit 3
 * abort, bit 4 shutter open); flash modules: 256 remote, 0 manual. */
int32_t KORAL_LS_GetStatus(uint32_t interfaceId, int32_t position, uint32_t* status);
int32_t KORAL_LS_GetActualTemperature(uint32_t interfaceId, int32_t position, int32_t* degreesC);
/* T os 0..80 degrees (else 80); T hyst = T os - difference (0..80, negative
 * 5), at least 1. */
int32_t KORAL_LS_SetTemperatureAlarm(uint32_t interfaceId, int32_t position, int32_t tOs,
                                     int32_t hysteresisDifference);
int32_t KORAL_LS_SavePowerStatus(uint32_t interfaceId, int32_t position);
int32_t KORAL_LS_GetModuleInfo(uint32_t interfaceId, int32_t position, uint8_t* type,
                               uint8_t* subtype, uint8_t* info);
/* Flash modules: the flash period in ms; flashes per trigger 1..254 (remote
 * modules only); *remote 1 remote, 0 set by hand. */
int32_t KORAL_LS_ReadFlashRate(uint32_t interfaceId, int32_t position, uint32_t* flashRateMs);
int32_t KORAL_LS_SetFlashCounter(uint32_t interfaceId, int32_t position, int32_t count);
int32_t KORAL_LS_GetRemoteStatus(uint32_t interfaceId, int32_t position, uint32_t* remote);

/* --- cooled detector board (front-end types 7 and 11; ordinals 165, 166).
 * Binning mode 0 or 1 unbinned, 2 fully binned; the board is de-initialised
 * and the interface must be initialised again. Cooling: on >= 1, off <= 0. */
int32_t KORAL_ParaSetZTKBinningMode(int32_t mode, uint32_t interfaceId);
int32_t KORAL_ParaSetZTKCoolingEnable(int32_t on, uint32_t interfaceId);

#undef TARVIK_ASSERT_LAYOUT

/* Measurement parameters. The setters address one open interface (ID 0 is
 * refused with 5/504/808); values out of range are limited, written back
 * through the pointer and recorded at level 7 (limited) or 6 (default). */

/* Ordinal 76. Pixel value range: 0..65536 for type-8 boards and front ends
 * 2, 7, 9 and 11, else -32768..32767. */
int32_t KORAL_ParaGetIntensityLimits(int32_t* minimum, int32_t* maximum, uint32_t interfaceId);
/* Ordinals 180 and 181: 100 and 30000. */
int32_t KORAL_ParaGetAverageNumberLimit(uint32_t* limit, uint32_t interfaceId);
int32_t KORAL_ParaGetBurstNumberLimit(uint32_t* limit, uint32_t interfaceId);
/* Ordinal 8. 1..100; a limited value still goes to the board and gives -1
 * with 7/505/836 (the serial electronics take only 1 in work modes 1, 2, 4
 * and 5: 7/505/0). */
int32_t KORAL_ParaSetAverageNumber(int32_t* averageNumber, uint32_t interfaceId);
/* Ordinals 9, 136, 119. Lamp trigger: 0 off, 1 or -1 on; option nonzero
 * sets the flash option (type 6, or type 4 with driver 1203 on). */
int32_t KORAL_ParaSetHardwareFlashMode(int32_t mode, uint32_t interfaceId);
int32_t KORAL_ParaSetHardwareFlashMode2(int32_t mode, int32_t option, uint32_t interfaceId);
int32_t KORAL_ParaGetHardwareFlashMode(uint32_t* flashMode, uint32_t interfaceId);
/* Ordinal 10. 100..28800000, compared unsigned; a limited value is recorded
 * (7/505/0, no box) and the result is the send's. */
int32_t KORAL_ParaSetExtTriggTimeout(uint32_t* timeoutMs, uint32_t interfaceId);
/* Ordinal 14. 0, or 1/-1; not on type-8 boards. */
int32_t KORAL_ParaSetShutterPolarity(int32_t polarity, uint32_t interfaceId);
/* Ordinal 15. 0, or 1/-1. */
int32_t KORAL_ParaSetACQModeNOInterrupt(int32_t mode, uint32_t interfaceId);
/* Ordinal 82. 0..3 (0 and 2 only on types 4, 5 and 6, both written as 0). */
int32_t KORAL_ParaSetInputSource(int32_t source, uint32_t interfaceId);

/* --- integration time and sensor work mode */
/* Ordinal 7. Milliseconds in, the time the board will integrate written
 * back; a limited value gives -1 with 7/505/0 after the board got it. */
int32_t KORAL_ParaSetIntegrationTime(double* timeMs, uint32_t interfaceId);
/* Ordinals 133 and 155 (interface types 4, 5, 6): whole milliseconds with a
 * prescaler of 1 ms and 8 ms counts (maxima 65 s and 520 s). */
int32_t KORAL_ParaSetIntegrationTime2(int32_t* timeMs, uint32_t interfaceId);
int32_t KORAL_ParaSetIntegrationTime3(int32_t* timeMs, uint32_t interfaceId);
/* Ordinal 12. Not on type-8 boards. */
int32_t KORAL_ParaSetIntegrationTimeForDeleting(double* timeMs, uint32_t interfaceId);
/* Ordinal 75. In ms; -1.0 both and -1 until a time was applied once. */
int32_t KORAL_ParaGetIntegrationTimeLimits(double* minimumMs, double* maximumMs,
                                           uint32_t interfaceId);
/* Ordinal 6. Flags bit 0: no box; bit 1: clear request flag 0x40 (type 6,
 * generation 2). */
int32_t KORAL_ParaSetSensorWorkMode(uint32_t flags, int32_t mode, uint32_t interfaceId);

/* --- multiplexer */
/* Ordinal 28. Mode 0 none, 1 single channel, 2 multi-channel. */
int32_t KORAL_ParaSetMUXMode(uint32_t mode, int32_t channelCount, uint32_t interfaceId);
/* Ordinal 29. */
int32_t KORAL_ParaSetMUXActiveChannel(int32_t channel, uint32_t interfaceId);

/* --- hardware configuration */
/* Ordinals 156 and 157. reserved 0; record->size 144. The get returns the
 * configuration result (0 or more) on success. */
int32_t KORAL_HWConfig_ParaSetHWConfigurationEx2(uint32_t reserved,
                                                 HWConfigurationEx2Record* record,
                                                 uint32_t interfaceId);
int32_t KORAL_HWConfig_ParaGetHWConfigurationEx2(uint32_t reserved,
                                                 HWConfigurationEx2Record* record,
                                                 uint32_t interfaceId);
/* Ordinals 127 and 83: the older forms (every channel the same sensor). */
int32_t KORAL_ParaSetHWConfigurationEx(uint16_t feeType, uint32_t muxType, uint16_t sensorType,
                                       uint16_t pixels, int32_t rows, uint32_t interfaceId);
int32_t KORAL_ParaSetHWConfiguration(uint16_t feeType, uint32_t muxType, uint16_t sensorType,
                                     uint16_t pixels, uint32_t interfaceId);
/* Ordinal 11. Front-end types 4 and 5 stand for 0 with mode 1 and 2. */
int32_t KORAL_ParaSetFEE_SensorType(uint32_t feeType, uint32_t sensorType, uint32_t pixels,
                                    uint32_t interfaceId);

/* --- serial electronics (interface type 3), exported by name */
/* The link's settings, kept in the user's configuration store: port (nonzero),
 * baud rate 9600, 14400, 19200, 38400, 57600, 115200 or 256000, transmission
 * 0, 1 (RS485 switched by RTS) or 2. Refused (304) while the named interface
 * or any serial electronics is open: the port in use keeps its settings. */
int32_t KORAL_ParaSet_QRE(uint32_t port, uint32_t baudRate, uint32_t transmission,
                          uint32_t interfaceId);
/* The stored settings; without any, the defaults 1, 115200, 0, 1 are stored. */
int32_t KORAL_ParaGet_QRE(uint32_t* port, uint32_t* baudRate, uint32_t* transmission,
                          uint32_t* interfaceId);
/* Only with transmission 1 (else 5/506/821). */
int32_t KORAL_ParaSet_QRE_RS485StopPeriod(uint16_t stopPeriod);
/* Reply time-out of the link, 0..32767 ms (300 at load). */
int32_t KORAL_ParaSet_QRE_TimeoutPC(int32_t timeoutMs);
/* Display level 1..3 of the open electronics. */
int32_t KORAL_SetDisplaylevel_QRE(uint32_t level, uint32_t interfaceId);
/* Integration-time factor 1..80 of the open electronics. */
int32_t KORAL_ParaSet_QRE_InttimeFactor(uint32_t factor, uint32_t interfaceId);
/* Resets the electronics: 10 s, then up to 5 s until it answers again. */
int32_t KORAL_GlobalReset_QRE(uint32_t unused, uint32_t interfaceId);

#ifdef __cplusplus
}
#endif
#endif
