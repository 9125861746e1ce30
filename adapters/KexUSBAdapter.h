/*
 * KexUSBAdapter.h - the contract between KexUSBPhone and a handset adapter.
 *
 * An adapter is a DLL, one per handset model, listed in the [AdapterList]
 * section of "USBPhone.ini" beside the component. The contract has two
 * versions; an adapter written to version 1 keeps working unchanged, and
 * never receives a command code or a call that version 1 does not know.
 *
 * VERSION 1. The adapter exports three functions, all cdecl, looked up by
 * exact (case-sensitive) name:
 *
 *   "Intialize"     required  int32_t Intialize(KexDeviceCallback callback)
 *                             0 = ready for commands; anything else = failure.
 *                             (The spelling "Intialize" is the contract; an
 *                             export named "Initialize" is not found.)
 *   "execute"       required  int32_t execute(uint32_t code,
 *                                             uintptr_t wParam, uintptr_t lParam)
 *                             0 = command accepted; anything else = failure
 *                             (logged by the component, never retried).
 *   "UnInitialize"  optional  int32_t UnInitialize(void); result ignored.
 *
 * What an adapter may rely on:
 *   - "Intialize" is called once, before any "execute"; "UnInitialize" last.
 *     "UnInitialize" is called even when "Intialize" failed, and even when
 *     "Intialize" is missing (the library is then rejected).
 *   - All three are called on the host's thread, one at a time.
 *   - Texts are NUL-terminated narrow strings in the system ANSI code page.
 *     A text argument is never 0 (an empty text is ""); an argument that
 *     carries nothing is 0.
 *   - Texts and the ContactInfo record are valid only until "execute"
 *     returns: copy what you keep.
 *   - Codes 1 to 13 only (KEX_CMD_FIRST to KEX_CMD_LAST).
 *
 * What an adapter must do:
 *   - Report handset events only through the callback handed to
 *     "Intialize", from any thread, between the start of "Intialize" and the
 *     return of "UnInitialize". The callback blocks until the host has handled
 *     the event and always returns 0.
 *   - When "UnInitialize" returns, no thread may run code of the library any
 *     more and no callback may be made: the library is released right after.
 *     Stop and join your threads inside "UnInitialize".
 *   - Never call the callback while holding a lock that "execute" or
 *     "UnInitialize" take: the host's thread may be running them.
 *
 * VERSION 2 adds, for adapters that declare it: the host's mute state
 * (KEX_CMD_MUTE), devices with names and stable ids, reports that say which
 * device they come from, and commands addressed to one device. A version-2
 * adapter exports, besides the three above (which it keeps, so that an older
 * component can still use it as a version-1 adapter):
 *
 *   "KexAdapterVersion"  int32_t KexAdapterVersion(void)
 *                        The highest contract version the adapter implements
 *                        (KEX_CONTRACT_VERSION). Absent, or below 2: version 1.
 *   "KexInitialize2"     int32_t KexInitialize2(const KexHost *host)
 *                        Called instead of "Intialize" when the component
 *                        speaks version 2 with the adapter. 0 = ready.
 *   "KexExecute2"        int32_t KexExecute2(const char *deviceId, uint32_t code,
 *                                            uintptr_t wParam, uintptr_t lParam)
 *                        Called instead of "execute" then. deviceId 0: the
 *                        command is for every device of the adapter; else it
 *                        is for that one device (an id the adapter gave in
 *                        its KexDeviceInfo). Codes 1 to 14.
 *
 * The component speaks version 2 with an adapter whose "KexAdapterVersion"
 * answers 2 or more and which exports both "KexInitialize2" and
 * "KexExecute2"; otherwise version 1 ("Intialize", "execute"). Everything
 * version 1 says of "Intialize" and "execute" holds for "KexInitialize2" and
 * "KexExecute2", and:
 *   - The KexHost record is valid from the call of "KexInitialize2" until
 *     "UnInitialize" returns. Its functions may be called from any thread in
 *     that time, under the rules of the version-1 callback.
 *   - The deviceId handed to "KexExecute2" is valid until it returns.
 *   - Texts the adapter hands over (a report's deviceId, a KexDeviceInfo
 *     record and its texts) are read during the call only: the component
 *     copies what it keeps.
 *   - Device texts (ids, names, serials) are UTF-8; command texts stay in the
 *     ANSI code page, as in version 1.
 *
 * Usable from C89 and C++ with any Windows compiler. Adapter sources may
 * define KEX_ADAPTER_DECLARE_ENTRY_POINTS before including this header to get
 * declarations of the version-1 exports, and KEX_ADAPTER_DECLARE_VERSION_2
 * as well for the version-2 ones (dllexport when KEX_ADAPTER_BUILD is also
 * defined).
 */
#ifndef KEX_USB_ADAPTER_H
#define KEX_USB_ADAPTER_H

#include <stddef.h>
#if defined(_MSC_VER) && _MSC_VER < 1600
/* No <stdint.h> before Visual C++ 2010. uintptr_t comes from <stddef.h>. */
typedef signed __int32 int32_t;
typedef unsigned __int32 uint32_t;
typedef unsigned __int16 uint16_t;
#else
#include <stdint.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define KEX_CDECL __cdecl
#else
#define KEX_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Entry points --------------------------------------------------- */

#define KEX_ADAPTER_INITIALIZE_NAME "Intialize"
#define KEX_ADAPTER_EXECUTE_NAME "execute"
#define KEX_ADAPTER_UNINITIALIZE_NAME "UnInitialize"

/* The component's device callback; see the device messages below. */
typedef int32_t(KEX_CDECL *KexDeviceCallback)(uint32_t msg, uint32_t wParam, int32_t lParam);

typedef int32_t(KEX_CDECL *KexIntializeFn)(KexDeviceCallback callback);
typedef int32_t(KEX_CDECL *KexExecuteFn)(uint32_t code, uintptr_t wParam, uintptr_t lParam);
typedef int32_t(KEX_CDECL *KexUnInitializeFn)(void);

#define KEX_CONTRACT_VERSION 2
#define KEX_ADAPTER_VERSION_NAME "KexAdapterVersion"
#define KEX_ADAPTER_INITIALIZE2_NAME "KexInitialize2"
#define KEX_ADAPTER_EXECUTE2_NAME "KexExecute2"

/* ---- Commands: the code handed to "execute" ------------------------- */
/* TEXT = address of a narrow string; 0 = nothing.   wParam      lParam  */
#define KEX_CMD_READY 1        /* initial state              0           0       */
#define KEX_CMD_LINK 2         /* connecting                 peer name   peer number */
#define KEX_CMD_RING 3         /* ringing                    peer name   peer number */
#define KEX_CMD_RINGBACK 4     /* play the ring-back tone    peer name   peer number */
#define KEX_CMD_TALKING 5      /* in conversation            peer name   peer number */
#define KEX_CMD_HANGUP 6       /* hang up                    peer name   peer number */
#define KEX_CMD_HOLD 7         /* call held                  peer name   peer number */
#define KEX_CMD_RESUME 8       /* call resumed               peer name   peer number */
#define KEX_CMD_CALLFAILED 9   /* call failed                peer name   peer number */
#define KEX_CMD_RINGBUSY 10    /* play the busy tone         peer name   peer number */
#define KEX_CMD_NUMBER 11      /* show a number              0           number      */
#define KEX_CMD_CALLINFO 12    /* show simple call info      name        number      */
#define KEX_CMD_CONTACTINFO 13 /* show contact information   ContactInfo* 0          */
#define KEX_CMD_FIRST KEX_CMD_READY
#define KEX_CMD_LAST KEX_CMD_CONTACTINFO /* the last code of version 1 */
/* Version 2 only: */
#define KEX_CMD_MUTE 14        /* the host's mute state     1 muted, 0 not  0      */
#define KEX_CMD_LAST_V2 KEX_CMD_MUTE

/* The record of KEX_CMD_CONTACTINFO. Entries not given by the host are ""
 * with icon type 0; icon types are never negative. */
#define KEX_CONTACT_ENTRIES 3
typedef struct ContactInfo {
    const char *info[KEX_CONTACT_ENTRIES]; /* never 0, NUL-terminated ANSI */
    int32_t iconType[KEX_CONTACT_ENTRIES];
} ContactInfo;

/* ---- Device messages: the msg of the callback ----------------------- */
#define KEX_DEV_PICKUP 1          /* pick-up key */
#define KEX_DEV_HANGUP 2          /* hang-up key */
#define KEX_DEV_KEY 3             /* digit key; wParam = KEX_KEY_* */
#define KEX_DEV_CALL 4            /* call key */
#define KEX_DEV_ADDRESSBOOK 5     /* address book key */
#define KEX_DEV_CLEAR 6           /* clear key */
#define KEX_DEV_CALLHISTORYUP 7   /* call history up */
#define KEX_DEV_CALLHISTORYDOWN 8 /* call history down */
#define KEX_DEV_ADDRESSBOOKUP 9   /* address book up */
#define KEX_DEV_ADDRESSBOOKDOWN 10 /* address book down */
#define KEX_DEV_MUTE 11           /* mute key */
#define KEX_DEV_HOLD 12           /* hold key */
#define KEX_DEV_REDIAL 13         /* redial key */
#define KEX_DEV_CALLADDRNUMBER 14 /* call the address book number */
#define KEX_DEV_CALLHISTORY_EX 15 /* extended call history key */
#define KEX_DEV_HANDFREE 16       /* hands-free key */
#define KEX_DEV_PLUG 17           /* plug state; wParam = KEX_PLUG_*, lParam = detail */
#define KEX_DEV_FIRST KEX_DEV_PICKUP
#define KEX_DEV_LAST KEX_DEV_PLUG

/* wParam of KEX_DEV_KEY. Other values reach the host as an error key. */
#define KEX_KEY_1 1
#define KEX_KEY_2 2
#define KEX_KEY_3 3
#define KEX_KEY_4 4
#define KEX_KEY_5 5
#define KEX_KEY_6 6
#define KEX_KEY_7 7
#define KEX_KEY_8 8
#define KEX_KEY_9 9
#define KEX_KEY_0 10
#define KEX_KEY_STAR 11
#define KEX_KEY_POUND 12

/* wParam of KEX_DEV_PLUG. Other values reach the host as an error state.
 * lParam is a detail of the adapter's own: 0 and 1 are passed on to the
 * host, any other value arrives as -1. */
#define KEX_PLUG_OUT 0
#define KEX_PLUG_IN 1

/* ---- Version 2: devices and the host record -------------------------- */

/* A device as a version-2 adapter names it to the host. */
typedef struct KexDeviceInfo {
    uint32_t size;       /* sizeof(KexDeviceInfo) as the adapter was built */
    const char *id;      /* unique within the adapter, the same after unplug and
                            replug of the same device; not 0, not "" */
    const char *name;    /* display name; 0 or "" when unknown */
    uint16_t vendorId;   /* USB vendor and product ids; 0 when none */
    uint16_t productId;
    const char *serial;  /* serial number, else an instance path; 0 or "" when none */
} KexDeviceInfo;

typedef struct KexHost KexHost;
struct KexHost {
    uint32_t size;    /* sizeof(KexHost) as the component was built: fields are
                         only ever added at the end */
    uint32_t version; /* the contract version the component speaks with this
                         adapter (2) */
    void *context;    /* hand back unchanged in every call below */
    /* A device report: the messages of the version-1 callback, from one
     * device. deviceId 0 is the adapter's first described device (the
     * adapter itself when it described none). KEX_DEV_PLUG with KEX_PLUG_IN
     * adds the device to the host's list, KEX_PLUG_OUT removes it, before
     * the host's event runs. Blocks until the host has handled the report;
     * returns 0. */
    int32_t(KEX_CDECL *Report)(void *context, const char *deviceId, uint32_t msg, uint32_t wParam,
                                int32_t lParam);
    /* Names a device, before it is plugged in, or again to update it.
     * 0 = taken; 1 = unusable (null, size too small, no id). */
    int32_t(KEX_CDECL *DescribeDevice)(void *context, const KexDeviceInfo *device);
};

typedef int32_t(KEX_CDECL *KexAdapterVersionFn)(void);
typedef int32_t(KEX_CDECL *KexInitialize2Fn)(const KexHost *host);
typedef int32_t(KEX_CDECL *KexExecute2Fn)(const char *deviceId, uint32_t code, uintptr_t wParam, uintptr_t lParam);

/* ---- Optional declarations of the exports for adapter sources ------- */
#ifdef KEX_ADAPTER_DECLARE_ENTRY_POINTS
#if defined(KEX_ADAPTER_BUILD) && defined(_WIN32)
#define KEX_ADAPTER_API __declspec(dllexport)
#else
#define KEX_ADAPTER_API
#endif
KEX_ADAPTER_API int32_t KEX_CDECL Intialize(KexDeviceCallback callback);
KEX_ADAPTER_API int32_t KEX_CDECL execute(uint32_t code, uintptr_t wParam, uintptr_t lParam);
KEX_ADAPTER_API int32_t KEX_CDECL UnInitialize(void);
#ifdef KEX_ADAPTER_DECLARE_VERSION_2
KEX_ADAPTER_API int32_t KEX_CDECL KexAdapterVersion(void);
KEX_ADAPTER_API int32_t KEX_CDECL KexInitialize2(const KexHost *host);
KEX_ADAPTER_API int32_t KEX_CDECL KexExecute2(const char *deviceId, uint32_t code, uintptr_t wParam,
                                              uintptr_t lParam);
#endif
#endif

#ifdef __cplusplus
}
#endif

#endif /* KEX_USB_ADAPTER_H */
