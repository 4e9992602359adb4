/* The message queues of the platform layer for clients written in C (the
 * C++ interface is messages.h): how a program that is not a Qt program gets a
 * target for posted messages, such as the library's device notifications, and
 * waits for them. Link libveldon_platform.
 *
 * A thread registers its queue and hands the id it got to whoever posts to it
 * (mode 1 of KORAL_RegisterDeviceNotification); or it registers a window with
 * a queue of its own and hands out the window (mode 0), which any thread may
 * then read. Waits run on the platform clock (real time unless a test put a
 * virtual clock in its place). */
#ifndef VELDON_PLATFORM_MESSAGES_C_H
#define VELDON_PLATFORM_MESSAGES_C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VeldonMessage {
    uint32_t hwnd; /* 0 for a message to the thread */
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
} VeldonMessage;

/* No limit for veldonGetMessage. */
#define VELDON_INFINITE 0xFFFFFFFFu

/* Results of veldonGetMessage. */
#define VELDON_MESSAGE 1  /* a message was taken */
#define VELDON_QUIT 0     /* the quit message (0x0012) was taken: the loop should end */
#define VELDON_TIMEOUT -1 /* nothing arrived in time */
#define VELDON_INVALID -2 /* no queue: unknown window, or the thread registered none */

/* The calling thread's queue, registered on the first call; returns the
 * thread's id, the target of thread messages. It goes with the thread or with
 * veldonUnregisterThreadQueue. */
uint32_t veldonRegisterThreadQueue(void);
/* 1, or 0 when the thread had no queue. */
int veldonUnregisterThreadQueue(void);

/* A window with a queue of its own; 0 when no handle is free. */
uint32_t veldonRegisterWindow(void);
/* Drops the window and what is queued for it; 1, or 0 for an unknown one. */
int veldonUnregisterWindow(uint32_t hwnd);

/* Takes the oldest message of a window (hwnd != 0) or of the calling thread's
 * queue (hwnd 0), waiting up to timeoutMs (VELDON_INFINITE: no limit; 0: no
 * wait). Returns one of the results above; out is written only for
 * VELDON_MESSAGE and VELDON_QUIT. */
int veldonGetMessage(VeldonMessage* out, uint32_t hwnd, uint32_t timeoutMs);

#ifdef __cplusplus
}
#endif
#endif
