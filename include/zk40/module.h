/*
 * Zarkell'40 action module contract.
 *
 * An action module is an ELF shared object that the scheduler loads with
 * dlopen() and drives through the C entry points below. Everything a module
 * author needs is this header and the zk40_add_module() CMake function,
 * which builds the shared object and appends the file trailer the loader
 * checks (the zk40-sign tool).
 *
 * Threads: ZKRunAction runs on the job's worker thread and may run for
 * several actions at once; every other entry point runs on the main thread,
 * possibly while ZKRunAction is running. A module must tolerate that.
 * A worker thread carries out one job's run after another, so a module
 * keeps nothing in thread-local storage from one ZKRunAction to the next.
 *
 * Stack: a job's worker thread has a stack of ZK_JOB_THREAD_STACK_SIZE
 * bytes, so that the workers of a burst of jobs stay cheap. That is ample
 * for ordinary code and the C library (starting programs, name lookups,
 * network and file work). An action that needs more (deep recursion, large
 * local arrays, a library known for big stack frames) starts a thread of
 * its own with the stack size it needs (pthread_attr_setstacksize) and
 * waits for it inside ZKRunAction.
 *
 * Talking back: right after loading, before ZKStart, the host calls
 * ZKSetHost with a table of host functions. Send() is synchronous: from a
 * worker thread it waits until the main thread has answered. Post() queues
 * and returns at once. A block or text handed from one side to the other is
 * allocated with the host's Alloc() by the sender and released with Free()
 * by the receiver.
 */
#ifndef ZK40_MODULE_H
#define ZK40_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZK_EXPORT __attribute__((visibility("default")))
#else
#define ZK_EXPORT
#endif

/* Stack size, in bytes, of the thread that runs ZKRunAction (see above). */
#define ZK_JOB_THREAD_STACK_SIZE (256u * 1024u)

/* The window the host hands to every entry point; pass it back to Send/Post. */
typedef void* ZKHwnd;
/* Names one action instance of one job while that action exists. */
typedef uint32_t ZKActionHandle;

/* ---- Messages a module (or a job thread) sends or posts to the host ---- */

/* wparam: action handle; lparam: text allocated with Alloc(), freed by the host */
#define ZKM_ACTION_NAME 0x1401    /* the action's display name */
#define ZKM_ACTION_STATUS 0x1402  /* first status line */
#define ZKM_ACTION_STATUS2 0x1403 /* second status line */
/* wparam: action handle; lparam: percent 0..100 */
#define ZKM_ACTION_PERCENT 0x1404

/* wparam: error code; lparam: buffer whose first uint32_t holds its size in
 * bytes. The text is copied with strncpy semantics: zero-padded when
 * shorter, cut without a terminator when it fills the buffer. Result 1. */
#define ZKM_ERROR_TEXT 0x1413

/* wparam: action handle; lparam: the id of a process group the action
 * started (its first process's pid), or minus that id once the group needs
 * no watching any more. While the action runs, the host keeps the group in
 * the run's record; if the program dies meanwhile, the next start ends what
 * still runs of the group. Result 1, 0 when nothing was recorded. */
#define ZKM_PROCESS_GROUP 0x1415

/* wparam: buffer size in bytes; lparam: a zero-terminated text buffer.
 * Expands the date and time codes ($Y, $m, $d, $H, $M, ... see the
 * documentation) in place, never past the buffer. Result 1. */
#define ZKM_EXPAND_DATE 0x1414

/* wparam: action handle; lparam: ZKPropertyRequest*. Result 1, 0 for a code
 * outside 1..8 or an unknown handle. */
#define ZKM_SET_PROPERTY 0x1431
#define ZKM_GET_PROPERTY 0x1432

/* Child items shown under the action, numbered from 1.
 * 0x1433 lparam: uint32_t* receiving the number of children.
 * 0x1434 lparam: void** cell holding the address of a uint32_t child number;
 *        the host replaces the cell's content with a new text (Alloc()'d,
 *        the module frees it).
 * 0x1435 lparam: ZKChildText* (Alloc()'d by the module, freed by the host).
 * 0x1436 lparam: unused; removes all children.
 * 0x1437 lparam: ZKSubItemCount*.
 * 0x1438 lparam: void** cell holding the address of a ZKSubItemRef; the cell
 *        receives a new text as for 0x1434.
 * 0x1439 lparam: ZKSubItemText* (Alloc()'d by the module, freed by the host).
 * A handle that names no live action gives 0; then the host does not free
 * the block of 0x1435 or 0x1439. */
#define ZKM_CHILD_COUNT 0x1433
#define ZKM_GET_CHILD 0x1434
#define ZKM_SET_CHILD 0x1435
#define ZKM_DELETE_CHILDREN 0x1436
#define ZKM_SUBITEM_COUNT 0x1437
#define ZKM_GET_SUBITEM 0x1438
#define ZKM_SET_SUBITEM 0x1439

/* The update worker's request to install a module file (host internal). */
#define ZKM_INSTALL 0x1441

/* wparam: icon id (use the action handle); lparam: ZKTrayIcon*. */
#define ZKM_TRAY_ADD 0x1451
#define ZKM_TRAY_MODIFY 0x1452
#define ZKM_TRAY_DELETE 0x1453
/* What the host passes to ZKTrayCallback as the callback message. */
#define ZKM_TRAY_CALLBACK 0x402

/* Mouse messages passed to ZKTrayCallback. */
#define ZK_MOUSE_LEFT_UP 0x0202
#define ZK_MOUSE_LEFT_DOUBLE 0x0203
#define ZK_MOUSE_RIGHT_UP 0x0205

/* ---- Records ---- */

/* Property codes: value type and where it is kept. */
#define ZK_PROP_ACTION_NUMBER 1 /* this action */
#define ZK_PROP_ACTION_TEXT 2
#define ZK_PROP_VENDOR_NUMBER 3 /* shared by the vendor's modules */
#define ZK_PROP_VENDOR_TEXT 4
#define ZK_PROP_MODULE_NUMBER 5 /* shared by the module's action types */
#define ZK_PROP_MODULE_TEXT 6
#define ZK_PROP_TYPE_NUMBER 7 /* shared by every action of this type */
#define ZK_PROP_TYPE_TEXT 8

/* Room for a property text, terminator included. Longer stored texts are
 * cut to ZK_PROPERTY_TEXT_SIZE - 1 bytes on the way to the module. */
#define ZK_PROPERTY_TEXT_SIZE 1024

#pragma pack(push, 1)
typedef struct ZKPropertyRequest {
    uint16_t reserved;
    int16_t id;                       /* the value is named "RID-%04.4X" of it */
    int16_t code;                     /* ZK_PROP_* */
    uint32_t number;                  /* codes 1, 3, 5, 7 */
    char text[ZK_PROPERTY_TEXT_SIZE]; /* codes 2, 4, 6, 8; zero-terminated */
} ZKPropertyRequest;

typedef struct ZKChildText {
    uint32_t child;
    char text[1]; /* zero-terminated, as long as needed */
} ZKChildText;

typedef struct ZKSubItemCount {
    uint32_t child;
    uint32_t count; /* filled by the host */
} ZKSubItemCount;

typedef struct ZKSubItemRef {
    uint32_t child;
    uint32_t subItem;
} ZKSubItemRef;

typedef struct ZKSubItemText {
    uint32_t child;
    uint32_t subItem;
    char text[1]; /* zero-terminated, as long as needed */
} ZKSubItemText;
#pragma pack(pop)

/* A tray icon of the module's own. The module fills flags, icon and tip;
 * the host fills size, owner, id and callbackMessage. */
#define ZK_TRAY_ICON 0x02
#define ZK_TRAY_TIP 0x04
typedef struct ZKTrayIcon {
    uint32_t size;
    ZKHwnd owner;
    uint32_t id;
    uint32_t flags;
    uint32_t callbackMessage;
    char icon[256]; /* a theme icon name or the path of an image file */
    char tip[64];   /* at most 63 characters */
} ZKTrayIcon;

/* ---- The table of host functions ---- */

#define ZK_HOST_VERSION 1
typedef struct ZKHostFunctions {
    uint32_t size;    /* sizeof(ZKHostFunctions) */
    uint32_t version; /* ZK_HOST_VERSION */
    intptr_t (*Send)(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
    int (*Post)(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
    void* (*Alloc)(size_t bytes);
    void (*Free)(void* block);
} ZKHostFunctions;

/* ---- String resources, read through ZKLoadString ---- */
#define ZK_STR_MODULE_ID 29901   /* up to 16: the catalogue's module key */
#define ZK_STR_MODULE_NAME 29902 /* up to 50 */
#define ZK_STR_VERSION 29903     /* up to 10, decimal */
#define ZK_STR_VENDOR_ID 29906   /* up to 8: the catalogue's vendor key */
#define ZK_STR_VENDOR_NAME 29907 /* up to 50 */
#define ZK_STR_VENDOR_WEB 29908  /* up to 256 */
#define ZK_STR_LEGAL 29909       /* up to 512 */
#define ZK_STR_DATA 29911        /* up to 80 */

/* Room ZKGetActionData may fill: 112 characters and a terminator. */
#define ZK_ACTION_DATA_SIZE 113

/* ---- Entry points a module exports. Nonzero means success. ---- */
typedef void (*ZKSetHostFn)(const ZKHostFunctions* host);
typedef int (*ZKLoadStringFn)(uint32_t id, char* buffer, int size);
typedef int (*ZKStartFn)(int16_t moduleId);
typedef int (*ZKEnableActionFn)(const char* action);
typedef int (*ZKDisableActionFn)(const char* action);
typedef int (*ZKActionFn)(ZKHwnd hwnd, const char* action, ZKActionHandle handle);
typedef int (*ZKGetActionDataFn)(const char* action, char* buffer);
typedef int (*ZKTrayCallbackFn)(ZKHwnd hwnd, const char* action, ZKActionHandle handle,
                                uint32_t mouseMessage);

/* Declarations to implement (each with ZK_EXPORT):
 *   void ZKSetHost(const ZKHostFunctions* host);
 *   int  ZKLoadString(uint32_t id, char* buffer, int size);  -- copies at most
 *        size-1 bytes and a terminator; returns the length copied
 *   int  ZKStart(int16_t moduleId);
 *   int  ZKEnableAction(const char* action);
 *   int  ZKDisableAction(const char* action);
 *   int  ZKInitAction(ZKHwnd, const char* action, ZKActionHandle);
 *   int  ZKDeinitAction(ZKHwnd, const char* action, ZKActionHandle);
 *   int  ZKRunAction(ZKHwnd, const char* action, ZKActionHandle);  -- blocks until done
 *   int  ZKStopAction(ZKHwnd, const char* action, ZKActionHandle);
 *   int  ZKPreferences(ZKHwnd, const char* action, ZKActionHandle);
 *   int  ZKCleanupAction(ZKHwnd, const char* action, ZKActionHandle);
 *   int  ZKGetActionData(const char* action, char* buffer);  -- ZK_ACTION_DATA_SIZE bytes
 *   int  ZKTrayCallback(ZKHwnd, const char* action, ZKActionHandle, uint32_t mouseMessage);
 */

/* The file trailer: "DX", a 32-bit little-endian checksum of every byte
 * before the trailer, "14". zk40-sign appends it. */
#define ZK_TRAILER_SIZE 8

#ifdef __cplusplus
}
#endif

#endif /* ZK40_MODULE_H */
