// Continuous acquisition from simulated serial electronics over the link at
// 115,200 baud (8E1, 11 bits a character): spectra of work mode 3 (1044
// pixels, 1 ms integration time) read one after the other. The line's time
// is the platform clock's, here a virtual one, so the figures are those of
// the line and not of this machine. Counters: spectra/s on the line,
// line_limit/s (what the line could carry of the frames a spectrum needs:
// the request, 53 data frames, their continues and the acknowledge) and
// their ratio; the iteration's wall time is the library's own work.

#include "core/library_attach.h"
#include "core/library_state.h"
#include "serial/qre_device.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"
#include "sim/serial_electronics.h"
#include "sim/serial_unit_model.h"

#include "platform/clock.h"
#include "platform/serial_fake.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace tarvik;

void BM_QreContinuousSpectra(benchmark::State& state) {
    setenv("VELDON_MACHINE_CONFIG", "/nonexistent/veldon-bench", 1);
    setenv("VELDON_USER_CONFIG", "/nonexistent/veldon-bench", 1);
    setenv("VELDON_DRIVER_PATH", "", 1);
    if (LibraryAttach() != 1) {
        state.SkipWithError("library attach failed");
        return;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scope(clock);
    sim::SerialElectronics electronics;
    sim::SerialUnitConfig config;
    auto model = std::make_shared<sim::SerialUnitModel>(config);
    sim::SerialUnit& unit = electronics.addUnit(1);
    model->install(unit);
    unit.setBehaviour(model);
    auto line = std::make_shared<platform::serial::FakeSerialLine>();
    line->setDevice(&electronics);
    platform::serial::attachFakeSerialLine("COM2", line);

    QreLinkModule& link = *qreLink();
    link.port.portNumber = 2;
    ResetQreProtocolState();
    const bool open = OpenQrePort() == 1 && ConfigureQrePort() == 1;
    ResetQreProtocol();
    CreateDeviceSlot(1);
    DeviceSlot& slot = *deviceSlot(1);
    slot.boardType = kTypeSerial;
    slot.active = 1;
    slot.initialised = 1;
    slot.block()->WorkMode = 3;
    slot.block()->NumberPixel2 = 1044;
    slot.acquisitionIntegrationTime = 1000;
    slot.qre.interfaceId = 1;
    AllocQreSlotBuffers(1);
    SelectQreSlotBuffers(1);
    ResetQreRecords();
    slot.qre.setFirmwareVersion(316);
    libraryState()->actualInterfaceId = 1;
    if (!open || SendQreWorkModeParameters() != 0) {
        state.SkipWithError("the simulated electronics did not start");
    }

    int64_t spectra = 0;
    const platform::TimePoint start = clock.now();
    for (auto _ : state) {
        if (AcquireQreSpectra(1) != 0) {
            state.SkipWithError("acquisition failed");
            break;
        }
        ++spectra;
    }
    const double lineSeconds = std::chrono::duration<double>(clock.now() - start).count();
    const double byteSeconds =
        std::chrono::duration<double>(platform::serial::characterTime(line->settings())).count();
    // The spectrum record (2118 bytes in 53 frames): the request, a continue
    // after each piece but the last, the acknowledge and its answer.
    const double frames = static_cast<double>(qre::framesOf(qre::kSpectrumBlockSize));
    const double bytes = frames * qre::kDataFrameSize + (frames + 1) * qre::kCommandFrameSize +
                         qre::kCommandFrameSize;
    const double limit = 1.0 / (bytes * byteSeconds);
    const double rate = lineSeconds > 0 ? static_cast<double>(spectra) / lineSeconds : 0;
    state.counters["spectra/s"] = rate;
    state.counters["line_limit/s"] = limit;
    state.counters["ratio"] = rate / limit;

    FreeDeviceSlot(1);
    CloseQrePortHandle();
    platform::serial::detachSerialPort("COM2");
    line->setDevice(nullptr);
    LibraryDetach();
}
BENCHMARK(BM_QreContinuousSpectra)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
