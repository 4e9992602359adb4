#pragma once
// What the core needs of the link to the serial electronics QRE (interface
// type 3, a COM port, optionally RS485) and to the serial multiplexers MUX-KRD
// and MUX-KRL: the link's records and the operations the core, the engine and
// the configuration code call.
//
// The COM-port transport itself is not in this library yet. Until it is, the
// records and the pure helpers below work fully, and every operation that
// would talk to the electronics fails cleanly:
//   - OpenQreDevice returns -1 with info 813 "QRE DRIVER NOT FOUND";
//   - every other transfer puts -320 "ERR COMPORT NOT AVAILABLE" into the
//     link's error list and reports it through ReportQreErrors (level 1, code
//     -320, info 0, the actual interface ID), returning its failure value;
//   - the multiplexer port operations return the platform error ENOENT.
// Everything runs in the caller's thread; callers hold the DeviceLock where a
// device operation is under way, and the link takes no lock of its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvik {

// QreBlockType of the blocks the core reads.
inline constexpr uint16_t kQreStatusBlockType = 10;
inline constexpr uint16_t kQreI2cBlockType = 11;
inline constexpr uint16_t kQreConfigurationBlockType = 12;

inline constexpr size_t kQreStatusBlockSize = 8;
inline constexpr size_t kQreI2cTransferBlockSize = 24;
inline constexpr size_t kQreConfigurationBlockSize = 316;

// Codes of the link's error list.
namespace qre {
inline constexpr int32_t kErrComPortNotAvailable = -320;
inline constexpr int32_t kErrComRepeatLimit = -204;
inline constexpr int32_t kErrTimeoutQreReady = -72;
inline constexpr int32_t kErrTimeoutDataReady = -71;
inline constexpr int32_t kErrFirmwareNotCorrect = -21;
} // namespace qre

// Status block (type 10) of one serial interface.
struct QreStatusBlock {
    std::array<uint8_t, kQreStatusBlockSize> bytes{};

    // Firmware version of the serial electronics in hundredths (u16 at 2).
    uint16_t firmwareVersion() const;
    void setFirmwareVersion(uint16_t version);
    // The two status words (bytes 4-5 and 6-7).
    int16_t statusWord() const;
    int16_t deviceStatusWord() const;
    void setStatusWords(int16_t status, int16_t deviceStatus);
};

// The serial record of a slot of board type 3; exists with every slot.
struct QreSlotRecord {
    uint32_t interfaceId = 0;                // word 1
    std::array<uint32_t, 7> protocolWords{}; // words 2..8: the link's protocol settings
    uint32_t averageNumber = 0;              // word 9: average number of the serial electronics
    uint32_t hardwareFlash = 0;              // lamp trigger: 0 off, 1 on
    uint32_t muxModeIndex = 0;               // multiplexer mode - 1
    uint32_t muxChannelIndex = 0;            // multiplexer channel - 1
    uint32_t pixelCount = 0;                 // pixel count the electronics reported
    uint32_t cycleTimeMs = 0;                // cycle time of the electronics; 0 = not known
    QreStatusBlock status;
};

// The port settings of the serial electronics.
struct QrePortSettings {
    uint32_t comPort = 2;
    uint32_t baudRate = 115200;
    uint8_t dataBits = 8;
    uint8_t parity = 2; // even
    uint8_t stopBits = 1;
    uint32_t transmissionStandard = 0;
    uint32_t stopPeriod = 2500;
};

// The link's module-wide records (AllocQreBuffers .. FreeQreBuffers).
struct QreLinkModule {
    QrePortSettings port;
    uint16_t replyTimeoutMs = 0;
    bool portOpen = false;
    std::array<uint8_t, kQreI2cTransferBlockSize> i2cTransfer{};     // type 11
    std::array<uint8_t, kQreConfigurationBlockSize> configuration{}; // type 12
    uint8_t digitalOutputs = 0;                                      // digital I/O block
    std::vector<int32_t> errors;                                     // the link's error list
};

// The transfers that talk to the electronics, dispatched through a
// replaceable transport so that tests can put a fake electronics behind the
// link. Without one installed (the default) they fail as described at the top.
// Each operation works on the module records as the real transfer would: it
// reads the request from the blocks, answers into them and pushes failures
// into the error list (pushQreError). Add an operation here when a transfer
// of the link needs a fake.
class QreLinkTransport {
public:
    virtual ~QreLinkTransport() = default;
    // RunQreI2cTransfer after it cleared the error list: carries out the
    // request of the I2C transfer block (bytes 2..5, 8..15), answers in bytes
    // 6, 7 and 16..23; returns 1 done or -1..-4 as RunQreI2cTransfer.
    virtual int16_t runI2cTransfer(QreLinkModule& link) = 0;
    // SendQreCommand7.
    virtual void sendCommand7(QreLinkModule& /*link*/) {}
    // OpenQreDevice after it cleared the slot's initialised flag and the
    // error list: opens the port (when it is not open) and reads the version
    // and the state of the electronics into the actual slot's status block;
    // 0, or -1 with info 814 or 815 in the record. The default fails as the
    // link without transport does.
    virtual int32_t openDevice(QreLinkModule& link, int32_t flags);
    // InitializeQreDevice: sends the actual slot's sensor parameters; 0, or
    // non-zero with the record written. The default fails as above.
    virtual int32_t initializeDevice(QreLinkModule& link, int32_t flags);
    // The work-mode parameter sends: form 1..5, or kQreWorkMode3New for the
    // newer record of work mode 3; 0, or -1 with the record written. The
    // default fails as above.
    virtual int32_t sendWorkModeParameters(QreLinkModule& link, int32_t form);
    // SelectMuxChannelSerial: switches the serial multiplexer of the slot of
    // interfaceId to channel; 0, -1 the multiplexer answered "error", -2 no
    // fitting answer in time, or a positive platform error of the port. The
    // default fails as the multiplexer port operations do without transport.
    virtual int32_t selectMuxChannel(QreLinkModule& link, int32_t channel, int32_t interfaceId);
};

// The form of the newer work-mode 3 record for sendWorkModeParameters.
inline constexpr int32_t kQreWorkMode3New = 30;

// Installs a transport (not owned; it must outlive its use) and returns the
// previous one; null restores the default. Called by tests with no device
// operation under way.
QreLinkTransport* setQreLinkTransport(QreLinkTransport* transport);

// Null before AllocQreBuffers and after FreeQreBuffers.
QreLinkModule* qreLink();
void clearQreErrors();
void pushQreError(int32_t code);

// --- module records and set-up
int32_t AllocQreBuffers();      // 1 allocated, 0 failed (no record written)
int32_t ResetQrePortSettings(); // COM2, 115200 baud, 8E1, standard 0, stop period 2500; 0
void SetQreReplyTimeout(uint16_t milliseconds);
int32_t FreeQreBuffers(); // 1 freed
void FreeQreSlotBuffers(int32_t interfaceId);

// --- opening, initialising, closing
int32_t OpenQreDevice(int32_t flags);       // 0, or -1 with the record's info 814/815 (813 here)
int32_t InitializeQreDevice(int32_t flags); // 0 done, non-zero failed with the record written
int32_t CloseQrePort();                     // 1

// --- parameters and acquisition
int32_t SendQreWorkModeParameters(); // by the actual slot's WorkMode; 0 or -1 with record
int32_t SendQreParametersWorkMode1();
int32_t SendQreParametersWorkMode2();
int32_t SendQreParametersWorkMode3();
int32_t SendQreParametersWorkMode3New();
int32_t SendQreParametersWorkMode4();
int32_t SendQreParametersWorkMode5();
// Limits a time (µs) to what the board takes; true when it takes the time
// directly as microsecond counts. Sets *maximum and *minimum.
bool ClampIntegrationTime(uint32_t* time, uint32_t* maximum, uint32_t* minimum);
int32_t AcquireQreSpectra(int32_t interfaceId); // 0, -2 warning, other failed
int32_t WaitMuxSwitchDelay(int32_t interfaceId, int32_t delayMs, int32_t waitFlag);
void QreWaitMs(uint32_t milliseconds);

// --- digital lines and I2C of the serial electronics
int32_t SetQreDigitalOutput2();
int32_t ClearQreDigitalOutput2();
int32_t GetQreDigitalInput1();
int16_t RunQreI2cTransfer();                 // 1 done, -1..-4 failed at that step
int32_t ReportQreErrors(int32_t errorClass); // 1 recorded, 0 none
void SendQreCommand7();

// --- serial multiplexer
int32_t OpenMuxPort(int32_t interfaceId);  // 0 or the platform error
int32_t CloseMuxPort(int32_t interfaceId); // 0 or the platform error
int32_t SelectMuxChannelSerial(int32_t channel, int32_t interfaceId);
int32_t GetSerialMuxChannelCount(int32_t interfaceId);
int32_t GetConfigVariantCode(int32_t interfaceId);

} // namespace tarvik
