/* A client of the acquisition library written in C that subscribes to the
 * hot-plug notifications of its USB board (hotplug_sim.ini: the board is
 * pulled out a while after its first open and plugged in again later). It
 * waits for the messages in its own thread queue through the platform's C
 * interface to the message queues: the removal, during which calls on the
 * board fail as "not available", then the arrival, after which the board was
 * initialised again and delivers spectra. The notification thread is gone
 * once the board is closed. Exits non-zero on any mismatch. */
#define _POSIX_C_SOURCE 200809L

#include "c_check.h"
#include "platform/messages_c.h"
#include "tarvik.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#define BOARD_PIXELS 1024
#define DARK 400.0
#define SIGNAL_PER_MS 1500.0
#define INTEGRATION_MS 5.0
/* Only a broken run waits this long. */
#define NOTIFY_LIMIT_MS 60000u

static double spectrum[SPECTRUM_ROOM];

/* Threads of the process that carry the notification thread's name. */
static int notifyThreads(void) {
    char path[300];
    char name[32];
    int count = 0;
    struct dirent* entry;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == NULL) {
        return -1;
    }
    while ((entry = readdir(tasks)) != NULL) {
        FILE* comm;
        if (entry->d_name[0] == '.') {
            continue;
        }
        snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
        comm = fopen(path, "r");
        if (comm == NULL) {
            continue; /* the thread ended meanwhile */
        }
        if (fgets(name, sizeof name, comm) != NULL && strcmp(name, "tarvik-notify\n") == 0) {
            ++count;
        }
        fclose(comm);
    }
    closedir(tasks);
    return count;
}

/* The next device notification of the thread's queue into wParam and lParam;
 * 0 when none came. */
static int nextNotification(uintptr_t* wParam, intptr_t* lParam) {
    VeldonMessage message;
    while (veldonGetMessage(&message, 0, NOTIFY_LIMIT_MS) == VELDON_MESSAGE) {
        if (message.message == KORAL_WM_DEVICE_NOTIFY) {
            *wParam = message.wParam;
            *lParam = message.lParam;
            return 1;
        }
    }
    return 0;
}

static void checkSpectrum(uint32_t* handle, int line) {
    const int stored = readStoredSpectrum(handle, spectrum);
    if (stored != BOARD_PIXELS ||
        spectrum[BOARD_PIXELS / 2] != DARK + SIGNAL_PER_MS * INTEGRATION_MS) {
        fprintf(stderr, "%s:%d: %d pixels, middle %.1f\n", __FILE__, line, stored,
                spectrum[BOARD_PIXELS / 2]);
        ++failures;
    }
}

int main(void) {
    const uint32_t queue = veldonRegisterThreadQueue();
    uint32_t subscription = 0;
    uint32_t handle = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    double ms = INTEGRATION_MS;
    KORAL_ErrorMessages(0);
    CHECK(queue != 0);

    /* The first open starts the board's time until it is pulled out. */
    CHECK(notifyThreads() == 0);
    CHECK(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0);
    CHECK(notifyThreads() == 1);
    CHECK(KORAL_InitializeOperationElectronics(0, 1) == 0);
    CHECK(KORAL_RegisterDeviceNotification(1, queue, &subscription, 1 /* thread */) == 0);
    CHECK(KORAL_AllocRawData(&handle) == 0);
    CHECK(KORAL_ParaSetMapping(&handle, 1, 1) == 0);
    CHECK(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) == 0);
    CHECK(KORAL_ParaSetIntegrationTime(&ms, 1) == 0);
    CHECK(KORAL_GetSpectra(1) == 0);
    checkSpectrum(&handle, __LINE__);

    /* Pulled out: the slot stays, calls on it report the board not available. */
    CHECK(nextNotification(&wParam, &lParam));
    CHECK(wParam == KORAL_NOTIFY_REMOVAL && lParam == (1 | 0x100));
    CHECK(KORAL_GetSpectra(1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 511, 808, 1, "KORAL_GetSpectra");
    CHECK(KORAL_SetInterfaceActive(1) == -1);
    CHECK_RECORD(KORAL_LEVEL_IGNORED, 511, 808, 1, "KORAL_SetInterfaceActive");

    /* Back, found by its board id and initialised again. */
    CHECK(nextNotification(&wParam, &lParam));
    CHECK(wParam == KORAL_NOTIFY_ARRIVAL && lParam == (1 | 0x100));
    CHECK(KORAL_GetSpectra(1) == 0);
    checkSpectrum(&handle, __LINE__);

    CHECK(KORAL_UnregisterDeviceNotification(subscription) == 0);
    CHECK(KORAL_FreeRawData(&handle) == 0);
    CHECK(KORAL_CloseOperationElectronics(1) == 0);
    CHECK(notifyThreads() == 0);
    CHECK(veldonUnregisterThreadQueue() == 1);
    return checkResult();
}
