/*
 * HidRelay: the device access library between the configuration program and
 * the keyboard's HID interfaces. A small C ABI so that the program can bind
 * any file that exports these twelve names at run time: the hidapi-backed
 * libHidRelay.so for real keyboards, libHidRelayEmulator.so for the emulator.
 *
 * Ownership: every pointer passed in stays owned by the caller and is read
 * only during the call, except the callback, which must stay callable until
 * its request is deleted or End() returns. Event records passed to a
 * callback, and the bytes they point to, belong to the library and are valid
 * only until the callback returns.
 *
 * Threads: callbacks run on threads of the library (one reader thread per
 * standing read). Every function may be called from any thread; calls into
 * the library from inside a callback are allowed except End().
 */
#ifndef HIDRELAY_H
#define HIDRELAY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define HIDRELAY_API __declspec(dllexport)
#else
#define HIDRELAY_API __attribute__((visibility("default")))
#endif

/* Picks one HID interface of one kind of device. 16 bytes. */
typedef struct HidRelaySelector {
    uint32_t flags;      /* 0x0000000F: match all four ids below */
    uint16_t vendor_id;  /* 0x04B4 */
    uint16_t product_id; /* 0x5004 */
    uint16_t usage_page;
    uint16_t usage;
    uint32_t reserved; /* 0 */
} HidRelaySelector;

#define HIDRELAY_SELECTOR_MATCH_ALL 0x0000000Fu
#define HIDRELAY_VENDOR_ID 0x04B4u
#define HIDRELAY_PRODUCT_ID 0x5004u

/* Event kinds delivered to a callback. */
#define HIDRELAY_EVENT_PRESENCE 0u /* presence change on the command interface's read */
#define HIDRELAY_EVENT_REPORT 1u   /* one received input report */

/* The transfer behind a received report (the path the consumer read uses). */
typedef struct HidRelayTransfer {
    uint32_t reserved[7];
    uint32_t length;      /* bytes at 'bytes' */
    const uint8_t* bytes; /* the received report, report id first */
} HidRelayTransfer;

/* What a callback is told, besides the event kind. */
typedef struct HidRelayEventData {
    uint32_t tag;                     /* the tag the request was made with ('CTRL', 'CONS', 'LED') */
    uint32_t value;                   /* report: byte count at 'data'; presence: 1 attached, 0 removed */
    const uint8_t* data;              /* report: the received report, report id first; presence: NULL */
    uintptr_t handle;                 /* the request's handle */
    const HidRelayTransfer* transfer; /* report: the same bytes through the transfer record; presence: NULL */
} HidRelayEventData;

typedef struct HidRelayEvent {
    uint32_t kind;     /* HIDRELAY_EVENT_PRESENCE or HIDRELAY_EVENT_REPORT */
    uint32_t reserved; /* 0 */
    const HidRelayEventData* data;
} HidRelayEvent;

/* Returns 1. */
typedef int (*HidRelayCallback)(const HidRelayEvent* event);

/* Request handles are the unit id the request was made with; 0 is no request. */
typedef uint32_t HidRelayHandle;

/* Debug output of the library to standard error: level 0 off, higher more. Returns the previous level. */
HIDRELAY_API int Debug(int level);

/* Starts the library (and its device monitor). Returns a value above 0 on success. flags: 0. */
HIDRELAY_API int Init(int flags);

/* Stops every request and joins every thread of the library. Returns 1. */
HIDRELAY_API int End(void);

/* Number of attached devices that offer the selected interface; 0 = none. */
HIDRELAY_API int RequestGetDeviceCount(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                       uint32_t unit_id, HidRelayHandle* out_handle);

/* Stops the standing request with that handle. Returns 1 if one was stopped, 0 if none had it. */
HIDRELAY_API int DeleteRequestFromUnitId(HidRelayHandle handle);
HIDRELAY_API int DeleteRequestFromHandle(HidRelayHandle handle);

/* Writes 'length' bytes as consecutive output reports of the interface's size (report id first).
   Returns the number of reports written, 0 or less when nothing was sent. */
HIDRELAY_API int RequestWrite(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                              const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle);

/* Writes one output report (64 bytes for the command interface, report id first).
   Returns a value above 0 when sent, 0 or less when not. */
HIDRELAY_API int RequestWriteOne(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                 const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle);

/* Writes the status bytes (the bank status: two bytes) to the selected interface as an output report.
   Returns a value above 0 when written. */
HIDRELAY_API int RequestStatusWrite(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                    const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle);

/* Reads up to 'length' status bytes (a feature report) into 'data'. Returns the count read, 0 or less on failure. */
HIDRELAY_API int RequestStatusGet(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                  uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle);

/* Sends 'length' bytes as a feature report. Returns a value above 0 when sent. */
HIDRELAY_API int RequestStatusSetFeature(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                         const uint8_t* data, uint32_t length, uint32_t unit_id,
                                         HidRelayHandle* out_handle);

/* Starts a standing read on the selected interface: every input report is passed to 'callback' as an
   HIDRELAY_EVENT_REPORT with 'tag'; on the command interface presence changes come as
   HIDRELAY_EVENT_PRESENCE. The read outlives unplugging and resumes when the device returns.
   Returns a value above 0 on success and stores the handle. */
HIDRELAY_API int RequestAsyncRead(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                  uint32_t unit_id, HidRelayHandle* out_handle);

#ifdef __cplusplus
}
#endif

#endif /* HIDRELAY_H */
