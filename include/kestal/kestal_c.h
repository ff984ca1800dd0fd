/* KestalHostComm's plain C interface.
 *
 * Every operation of the KestalHostCommService class, as C functions with C types only, for
 * applications built with another compiler than the library's and for other languages (C#,
 * Delphi, Python through ctypes). All functions act on the library's one service object; they
 * may be mixed freely with the class.
 *
 * Threads: as for the class. Callbacks run on library threads (the message callback on one
 * receive thread at a time, the state and status-line callbacks once a second on the log-report
 * worker, the event callback on whichever thread reports); they must return promptly and must never
 * call kestal_start or kestal_stop. Register them before kestal_start. kestal_start and
 * kestal_stop are called from one application thread at a time.
 */
#ifndef KESTAL_KESTAL_C_H
#define KESTAL_KESTAL_C_H

/* KESTAL_STATIC: the program links the library's static core (its own tools and tests). */
#if defined(_WIN32) && defined(KESTAL_STATIC)
#define KESTAL_C_API
#elif defined(_WIN32)
#if defined(KESTAL_BUILDING_LIBRARY)
#define KESTAL_C_API __declspec(dllexport)
#else
#define KESTAL_C_API __declspec(dllimport)
#endif
#else
#define KESTAL_C_API __attribute__((visibility("default")))
#endif

/* The library's version: the major number changes with the class's layout or a C function's
 * meaning; kestal_version() gives the string of the library actually loaded. */
#define KESTAL_VERSION_MAJOR 2
#define KESTAL_VERSION_MINOR 0
#define KESTAL_VERSION_PATCH 0
#define KESTAL_VERSION_STRING "2.0.0"

#ifdef __cplusplus
extern "C" {
#endif

/* Transports, for kestal_set_comm_type and kestal_set_network_endpoint. */
enum {
  KESTAL_COMM_STORAGE = 0,    /* the device's 50 MiB disk used as a mailbox */
  KESTAL_COMM_NETWORK = 1,    /* TCP, first device endpoint (default 192.168.66.1:28992) */
  KESTAL_COMM_NETWORK_ALT = 2 /* TCP, second device endpoint (default 192.168.60.1:29372) */
};

/* Device events passed to the event callback, each with its fixed text. */
enum {
  KESTAL_EVENT_DEVICE_ARRIVAL = 0,  /* "Device arrival" */
  KESTAL_EVENT_DEVICE_LEFT = 1,     /* "Device left" */
  KESTAL_EVENT_CONNECTED_ERROR = 2, /* "Connected Error" */
  KESTAL_EVENT_CONNECTED_OK = 3,    /* "Connected OK" */
  KESTAL_EVENT_CONNECTING = 4,      /* "Connecting..." */
  KESTAL_EVENT_NOT_CONNECTED = 5,   /* "Not connected" */
  KESTAL_EVENT_COMM_ERROR = 6       /* "Comm Error" */
};

typedef void (*kestal_event_fn)(int event, const char* text, void* user_data);
/* `data` is valid only during the call: copy what you keep. */
typedef void (*kestal_message_fn)(unsigned short type, const unsigned char* data, unsigned int len,
                                  void* user_data);
typedef void (*kestal_state_fn)(unsigned short state, void* user_data);
/* The once-a-second status line, as code page 936 (GBK) bytes. */
typedef void (*kestal_text_fn)(const char* text, void* user_data);

/* "MAJOR.MINOR.PATCH" of the loaded library, which may be newer than the header. */
KESTAL_C_API const char* kestal_version(void);

/* 0 when everything started; -1 when the arm link or the transport failed (it is retried). */
KESTAL_C_API int kestal_start(void);
/* Always 0; takes at least one second. */
KESTAL_C_API int kestal_stop(void);

/* 0, or -1 (nothing changed) for a value other than KESTAL_COMM_*. Takes effect at the next start.
 */
KESTAL_C_API int kestal_set_comm_type(int comm_type);
/* Points a network comm type at another device address (a numeric IPv4 or IPv6 address or a
 * host name) and TCP port. 0, or -1 at once (nothing changed) for another comm type, a host that
 * is neither an address nor a well-formed name ("999.1.1.1", "", "a..b"), or port 0. Takes
 * effect at the next start; never waits, so any callback may call it. */
KESTAL_C_API int kestal_set_network_endpoint(int comm_type, const char* host, unsigned short port);
/* Points the storage transport at one disk (a device path such as "/dev/sdc" or
 * "\\.\PHYSICALDRIVE2", or a disk image file) instead of discovering the device's disk; NULL or ""
 * restores discovery. 0, or -1 (nothing changed) for a path longer than 4096 bytes. Takes effect at
 * the next start; never waits. */
KESTAL_C_API int kestal_set_storage_device(const char* path);

/* A null function switches the callback off. */
KESTAL_C_API void kestal_set_event_callback(kestal_event_fn callback, void* user_data);
KESTAL_C_API void kestal_set_message_callback(kestal_message_fn callback, void* user_data);
KESTAL_C_API void kestal_set_scanner_state_callback(kestal_state_fn callback, void* user_data);
KESTAL_C_API void kestal_set_arm_state_callback(kestal_state_fn callback, void* user_data);
KESTAL_C_API void kestal_set_status_line_callback(kestal_text_fn callback, void* user_data);

/* Sends one message (type and payload) over the active transport: 0 when queued or written,
 * negative otherwise. */
KESTAL_C_API int kestal_send(unsigned short type, const unsigned char* data, unsigned int len);
/* Sends a whole firmware file in chunks; progress comes back as type-9 messages. 0 when every
 * chunk was queued or written; negative when one was not (the rest of the file is not sent). */
KESTAL_C_API int kestal_update_firmware(unsigned short firmware_type, const unsigned char* data,
                                        unsigned int len);
/* Next value of the library-wide message sequence counter (the first is 1). */
KESTAL_C_API unsigned short kestal_next_seq_no(void);
/* Writes the storage mailbox's summary areas to "volume<UTC+8 time>_<type>.txt". */
KESTAL_C_API void kestal_print_volume_run_info(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_KESTAL_C_H */
