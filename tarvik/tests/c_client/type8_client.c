/* A client of the acquisition library written in C with a type-8 board
 * (type8_sim.ini). Every scan of such a board brings its dark reference, so
 * each spectrum comes with the dark current of its own scan: the spectrum
 * follows dark + signal x integration time, the dark current is the dark
 * signal, and with the correction on the spectrum is the light alone. The
 * board is pulled out and comes back; initialised again, it delivers the same
 * spectra. Exits non-zero on any mismatch. */
#define _POSIX_C_SOURCE 200809L

#include "c_check.h"
#include "platform/messages_c.h"
#include "tarvik.h"

#define BOARD_PIXELS 738
#define MIDDLE (BOARD_PIXELS / 2)
#define DARK 300.0
#define SIGNAL_PER_MS 400.0
/* Only a broken run waits this long. */
#define NOTIFY_LIMIT_MS 60000u

static double spectrum[SPECTRUM_ROOM];
static double dark[SPECTRUM_ROOM];

static int nextNotification(uintptr_t* wParam) {
    VeldonMessage message;
    while (veldonGetMessage(&message, 0, NOTIFY_LIMIT_MS) == VELDON_MESSAGE) {
        if (message.message == KORAL_WM_DEVICE_NOTIFY) {
            *wParam = message.wParam;
            return 1;
        }
    }
    return 0;
}

/* Spectra at two integration times, raw with the dark current of their scan,
 * then dark-corrected. */
static void checkSpectra(uint32_t* handle, int line) {
    double ms;
    for (ms = 20.0; ms <= 60.0; ms += 40.0) {
        double asked = ms;
        const double light = SIGNAL_PER_MS * ms;
        CHECK(KORAL_ParaSetIntegrationTime(&asked, 1) == 0 && asked == ms);
        CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(handle, 0) == 0);
        CHECK(KORAL_GetSpectra(1) == 0 && readStoredSpectrum(handle, spectrum) == BOARD_PIXELS);
        CHECK(KORAL_GetStoredDarkcurrentData(handle, dark) == 0);
        if (spectrum[MIDDLE] != DARK + light || spectrum[0] < DARK ||
            spectrum[0] > DARK + light / 100.0 || dark[0] != DARK || dark[MIDDLE] != DARK) {
            fprintf(stderr, "%s:%d: at %.0f ms first %.1f, middle %.1f, dark %.1f %.1f\n", __FILE__,
                    line, ms, spectrum[0], spectrum[MIDDLE], dark[0], dark[MIDDLE]);
            ++failures;
        }
        CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(handle, 1) == 0);
        CHECK(KORAL_GetSpectra(1) == 0 && readStoredSpectrum(handle, spectrum) == BOARD_PIXELS);
        CHECK(spectrum[MIDDLE] == light);
    }
}

int main(void) {
    const uint32_t queue = veldonRegisterThreadQueue();
    uint32_t subscription = 0;
    uint32_t handle = 0;
    uintptr_t wParam = 0;
    KORAL_ErrorMessages(0);
    CHECK(queue != 0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB2, 1) == 0);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    CHECK(KORAL_RegisterDeviceNotification(1, queue, &subscription, 1 /* thread */) == 0);
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    checkSpectra(&handle, __LINE__);

    /* Pulled out, back, found by its board id and initialised again. */
    CHECK(nextNotification(&wParam) && wParam == KORAL_NOTIFY_REMOVAL);
    CHECK(nextNotification(&wParam) && wParam == KORAL_NOTIFY_ARRIVAL);
    checkSpectra(&handle, __LINE__);

    CHECK(KORAL_UnregisterDeviceNotification(subscription) == 0);
    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    CHECK(veldonUnregisterThreadQueue() == 1);
    return checkResult();
}
