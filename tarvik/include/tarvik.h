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

#undef TARVIK_ASSERT_LAYOUT

#ifdef __cplusplus
}
#endif
#endif
