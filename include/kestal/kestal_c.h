/** \file
 * KestalHostComm's plain C interface.
 *
 * Every operation of the KestalHostCommService class, as C functions with C types only, for
 * applications built with another compiler than the library's and for other languages (C#,
 * Delphi, Python through ctypes). All functions act on the library's one service object; they
 * may be mixed freely with the class.
 *
 * Threads: as for the class. Callbacks run on library threads (the message and frame callbacks on
 * one receive thread at a time, the state and status-line callbacks once a second on the
 * log-report worker, the event callbacks on one thread at a time, in the order the events were
 * raised); they must return promptly. A slow message or frame callback delays the later ones and
 * costs frames (the oldest frame still waiting is dropped, counted in image_frames_dropped), never
 * the link: the link is read, and ACKs matched, on other threads. kestal_start and kestal_stop
 * called from a callback return KESTAL_E_IN_CALLBACK at once. Register them before kestal_start.
 * kestal_start and kestal_stop are called from one application thread at a time; every other
 * function may be called from any thread.
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

/** The library's version: the major number changes with the class's layout or a C function's
 * meaning; kestal_version() gives the string of the library actually loaded. */
#define KESTAL_VERSION_MAJOR 2
#define KESTAL_VERSION_MINOR 0
#define KESTAL_VERSION_PATCH 0
#define KESTAL_VERSION_STRING "2.0.0"

/** 64-bit integers, which C89 lacks: the compiler's own. */
#if defined(_MSC_VER)
typedef __int64 kestal_i64;
typedef unsigned __int64 kestal_u64;
#elif defined(__GNUC__)
__extension__ typedef long long kestal_i64;
__extension__ typedef unsigned long long kestal_u64;
#else
typedef long long kestal_i64;
typedef unsigned long long kestal_u64;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Results: 0 for success, a negative KESTAL_E_* for a failure. kestal_last_error gives the reason
 * of a failure in words; every call refused for its arguments (-1, KESTAL_E_INVALID) leaves one. */
enum {
  KESTAL_OK = 0,
  KESTAL_E_INVALID = -1,       /**< a null or malformed argument, or input too short for its
                                    layout */
  KESTAL_E_TIMEOUT = -2,       /**< no answer within the time given */
  KESTAL_E_NOT_CONNECTED = -3, /**< the library is stopped or has no link to the device */
  KESTAL_E_SEND_FAILED = -4,   /**< the link refused the message (its send queue stayed full) */
  KESTAL_E_STOPPED = -5,       /**< kestal_stop ended the wait */
  KESTAL_E_IN_CALLBACK = -6    /**< kestal_start or kestal_stop called from a callback, whose
                                    return it would wait for */
};

/** Transports, for kestal_set_comm_type and kestal_set_network_endpoint. */
enum {
  KESTAL_COMM_STORAGE = 0,    /**< the device's 50 MiB disk used as a mailbox */
  KESTAL_COMM_NETWORK = 1,    /**< TCP, first device endpoint (default 192.168.66.1:28992) */
  KESTAL_COMM_NETWORK_ALT = 2 /**< TCP, second device endpoint (default 192.168.60.1:29372) */
};

/** Device events passed to the event callback, each with its fixed text. */
enum {
  KESTAL_EVENT_DEVICE_ARRIVAL = 0,  /**< "Device arrival" */
  KESTAL_EVENT_DEVICE_LEFT = 1,     /**< "Device left" */
  KESTAL_EVENT_CONNECTED_ERROR = 2, /**< "Connected Error" */
  KESTAL_EVENT_CONNECTED_OK = 3,    /**< "Connected OK" */
  KESTAL_EVENT_CONNECTING = 4,      /**< "Connecting..." */
  KESTAL_EVENT_NOT_CONNECTED = 5,   /**< "Not connected" */
  KESTAL_EVENT_COMM_ERROR = 6       /**< "Comm Error" */
};

typedef void (*kestal_event_fn)(int event, const char* text, void* user_data);
/** As kestal_event_fn, with the reason of a failure event (KESTAL_EVENT_CONNECTED_ERROR,
 * KESTAL_EVENT_COMM_ERROR, KESTAL_EVENT_NOT_CONNECTED) in `detail`, as kestal_last_error gives it;
 * "" for the other events and for a failure whose reason the library does not know. */
typedef void (*kestal_event_detail_fn)(int event, const char* text, const char* detail,
                                       void* user_data);
/** `data` is valid only during the call: copy what you keep. */
typedef void (*kestal_message_fn)(unsigned short type, const unsigned char* data, unsigned int len,
                                  void* user_data);
typedef void (*kestal_state_fn)(unsigned short state, void* user_data);
/** The once-a-second status line, as code page 936 (GBK) bytes, or as UTF-8 for the callback of
 * kestal_set_status_line_utf8_callback. */
typedef void (*kestal_text_fn)(const char* text, void* user_data);

/** One complete image frame. Everything it points to is valid only during the call: copy what you
 * keep. */
typedef struct kestal_frame {
  unsigned short kind;         /**< KESTAL_MSG_IMAGE_PIECE, _Y_IMAGE_PIECE or _Y_IMAGE */
  unsigned int number;         /**< the device's frame counter (0 for a Y image) */
  unsigned int width;          /**< from the image header (0 for a Y image, whose header the
                                    library does not interpret) */
  unsigned int height;         /**< as width */
  const unsigned char* pixels; /**< width x height bytes of 8-bit grey; 32-bit floats for a Y
                                    image */
  unsigned int pixels_len;     /**< the image size the header announces */
  const unsigned char* header; /**< the frame's header: 80 bytes (72 for a Y image) */
  unsigned int header_len;
  kestal_i64 host_time_ns; /**< steady clock when its last piece was received */
  kestal_i64 utc_time_ns;  /**< the same moment in ns since 1970-01-01 00:00 UTC */
} kestal_frame;
typedef void (*kestal_frame_fn)(const kestal_frame* frame, void* user_data);

/** \struct kestal_ack
 * The ACK of an order, as kestal_request fills it. */
enum { KESTAL_ACK_REPLY_MAX = 4096 };
typedef struct kestal_ack {
  unsigned short seq_no;    /**< the order's sequence number */
  unsigned short sub_type;  /**< the order's sub type (KESTAL_ORDER_* of kestal_protocol.h) */
  unsigned short code;      /**< 0 (KESTAL_ACK_OK) when the device did what was asked */
  unsigned short truncated; /**< 1 when the reply was longer than KESTAL_ACK_REPLY_MAX and cut */
  unsigned int reply_len;   /**< bytes of reply copied below */
  unsigned char reply[KESTAL_ACK_REPLY_MAX];
} kestal_ack;

/** The link's counters since the last kestal_start (`kestal watch --stats` shows them). The
 * messages dropped for a slow message callback (messages_dropped) are only in the log's health
 * line: this struct keeps its size. */
typedef struct kestal_health {
  kestal_u64 bytes_in, bytes_out;   /**< on the link, framing included */
  kestal_u64 frames_in, frames_out; /**< link frames (network) or mailbox records (disk) */
  kestal_u64 checksum_errors, resyncs, bytes_skipped, oversize_frames;
  kestal_u64 reconnects;
  kestal_u64 heartbeats_sent, orders_sent, orders_acked;
  kestal_u64 last_rtt_us; /**< the last order's round trip to its ACK */
  kestal_u64 image_frames;
  kestal_u64 image_frames_dropped; /**< a piece lost, or dropped for a slow callback */
  kestal_u64 records_skipped;
  kestal_u64 recv_queue_high, send_queue_high; /**< most buffers ever waiting in each queue */
} kestal_health;

/** "MAJOR.MINOR.PATCH" of the loaded library, which may be newer than the header. */
KESTAL_C_API const char* kestal_version(void);

/** 0 when everything started; -1 when the arm link or the transport failed (it is retried);
 * KESTAL_E_IN_CALLBACK from a callback, nothing done. */
KESTAL_C_API int kestal_start(void);
/** 0; takes at least one second. KESTAL_E_IN_CALLBACK from a callback, nothing done. */
KESTAL_C_API int kestal_stop(void);

/** 0, or -1 (nothing changed) for a value other than KESTAL_COMM_*. Takes effect at the next start.
 */
KESTAL_C_API int kestal_set_comm_type(int comm_type);
/** Points a network comm type at another device address (a numeric IPv4 or IPv6 address or a
 * host name) and TCP port. 0, or -1 at once (nothing changed) for another comm type, a host that
 * is neither an address nor a well-formed name ("999.1.1.1", "", "a..b"), or port 0. Takes
 * effect at the next start; never waits, so any callback may call it. */
KESTAL_C_API int kestal_set_network_endpoint(int comm_type, const char* host, unsigned short port);
/** The device endpoint that a network comm type uses unless kestal_set_network_endpoint changed
 * it: the address, terminated, into `host` (`host_len` bytes; 16 are enough) and the TCP port into
 * `port`. KESTAL_OK, or KESTAL_E_INVALID (nothing written) for another comm type, a null argument
 * or a `host` too short. */
KESTAL_C_API int kestal_default_endpoint(int comm_type, char* host, unsigned int host_len,
                                         unsigned short* port);
/** Points the storage transport at one disk (a device path such as "/dev/sdc" or
 * "\\.\PHYSICALDRIVE2", or a disk image file) instead of discovering the device's disk; NULL or ""
 * restores discovery. 0, or -1 (nothing changed) for a path longer than 4096 bytes. Takes effect at
 * the next start; never waits. */
KESTAL_C_API int kestal_set_storage_device(const char* path);

/** A null function switches the callback off. */
KESTAL_C_API void kestal_set_event_callback(kestal_event_fn callback, void* user_data);
KESTAL_C_API void kestal_set_message_callback(kestal_message_fn callback, void* user_data);
KESTAL_C_API void kestal_set_scanner_state_callback(kestal_state_fn callback, void* user_data);
KESTAL_C_API void kestal_set_arm_state_callback(kestal_state_fn callback, void* user_data);
KESTAL_C_API void kestal_set_status_line_callback(kestal_text_fn callback, void* user_data);
/** The status line as UTF-8, beside (not instead of) the code page 936 one. */
KESTAL_C_API void kestal_set_status_line_utf8_callback(kestal_text_fn callback, void* user_data);
/** The event callback with the failure's reason; beside (not instead of) kestal_set_event_callback.
 */
KESTAL_C_API void kestal_set_event_detail_callback(kestal_event_detail_fn callback,
                                                   void* user_data);
/** Every complete image frame with its size and time; beside the message callback, which still
 * receives the frame's bytes. */
KESTAL_C_API void kestal_set_frame_callback(kestal_frame_fn callback, void* user_data);

/** Sends one message (type and payload) over the active transport: 0 when queued or written,
 * negative otherwise; KESTAL_E_INVALID (nothing sent) for null `data` with a length. */
KESTAL_C_API int kestal_send(unsigned short type, const unsigned char* data, unsigned int len);
/** Sends a whole firmware file in chunks; progress comes back as type-9 messages. 0 when every
 * chunk was queued or written; negative when one was not (the rest of the file is not sent);
 * KESTAL_E_INVALID (nothing sent) for null `data` with a length. Any thread, the message and frame
 * callbacks included. */
KESTAL_C_API int kestal_update_firmware(unsigned short firmware_type, const unsigned char* data,
                                        unsigned int len);
/** Next value of the library-wide message sequence counter (the first is 1). */
KESTAL_C_API unsigned short kestal_next_seq_no(void);
/** Sends an order (KESTAL_MSG_ORDER) of sub type `sub_type` with `params_len` bytes of parameters,
 * numbered with the next sequence number, and waits up to `timeout_ms` for the ACK with that
 * sequence number and sub type, which it copies into `ack`. KESTAL_OK when the ACK came, whatever
 * its code; otherwise KESTAL_E_NOT_CONNECTED (stopped, or no link: nothing sent), KESTAL_E_TIMEOUT,
 * KESTAL_E_SEND_FAILED, KESTAL_E_STOPPED or KESTAL_E_INVALID (null `ack`, null `params` with a
 * length, more than 65000 bytes), with the reason for kestal_last_error. The ACK also reaches the
 * message callback afterwards, in arrival order. Any number of threads may wait at once, each for
 * its own ACK, the message and frame callbacks included: the ACK is matched on the thread that
 * reads the link. */
KESTAL_C_API int kestal_request(unsigned short sub_type, const unsigned char* params,
                                unsigned int params_len, unsigned int timeout_ms, kestal_ack* ack);
/** Copies the reason of the library's last reported failure (a failed request, a connection or disk
 * that could not be opened, a lost link) into `buf`, cut to `len` - 1 bytes and terminated, for
 * example "connect 127.0.0.1:9: connection refused". On a thread whose last kestal_request failed,
 * or that had a call refused for its arguments since, the reason of that call, whatever other
 * threads reported since. Returns the reason's full length (0 when nothing failed yet); `buf` may
 * be null when `len` is 0 (KESTAL_E_INVALID for a null `buf` with a length). Any thread. */
KESTAL_C_API int kestal_last_error(char* buf, unsigned int len);
/** 1 while the library has a link to the device: from the "Connected OK" event until the next
 * event that reports the link lost or not made ("Connected Error", "Not connected", "Comm Error",
 * "Device left", "Device arrival"), and 0 otherwise (stopped, connecting, before any start). The
 * state is set before the event reaches the event callbacks, so a callback of "Connected OK"
 * already sees 1. Any thread. */
KESTAL_C_API int kestal_is_connected(void);
/** Fills `out` with the link's counters: KESTAL_OK, or KESTAL_E_INVALID for a null `out`. */
KESTAL_C_API int kestal_get_health(kestal_health* out);
/** Writes the storage mailbox's summary areas to "volume<UTC+8 time>_<type>.txt". With no disk
 * open (stopped, or a network comm type) it writes nothing and reports the connection error
 * "Device is null" (KESTAL_EVENT_CONNECTED_ERROR), as every read without a disk does. */
KESTAL_C_API void kestal_print_volume_run_info(void);

/** Waits up to `timeout_ms` until kestal_is_connected says 1: 1, or 0 when the time ran out or the
 * library is stopped or was never started (a stop ends the wait).
 * Any thread but the library's callbacks (the state it waits for may come through them). */
KESTAL_C_API int kestal_wait_connected(unsigned int timeout_ms);
/** The name of a result ("KESTAL_OK", "KESTAL_E_TIMEOUT", ...), or "" for a value that is none. */
KESTAL_C_API const char* kestal_error_name(int code);

/** \defgroup sessions Several devices in one process
 * A session is a service of its own, beside the process-wide one that the global functions drive:
 * its own workers, callbacks, sequence numbers, queues, counters and last error. Open one per
 * device, set its callbacks, start it; stopping or losing one never disturbs another. Every
 * kestal_session_* function takes the session first; a NULL or closed session gives
 * KESTAL_E_INVALID (or nothing, for the void functions) with the reason for kestal_last_error,
 * never a crash.
 * @{ */
typedef struct kestal_session kestal_session;
/** How a session reaches its device. Set `size` to sizeof(kestal_session_config) and every field
 * you do not use to 0 (NULL): the struct may grow, and the library reads only the first `size`
 * bytes (at least up to and with `log_path`; fields beyond those bytes count as 0). */
typedef struct kestal_session_config {
  unsigned int size;            /**< sizeof(kestal_session_config) */
  int comm_type;                /**< KESTAL_COMM_* */
  const char* host;             /**< network: the device's address (NULL: the comm type's
                                     default) */
  unsigned short port;          /**< network: 0 = the comm type's default port */
  const char* disk;             /**< storage: a disk or image path (NULL: discovery) */
  unsigned short arm_port;      /**< local UDP port of the arm relay; 0 = no arm relay */
  unsigned short arm_peer_port; /**< the companion's port on 127.0.0.1 (0: 27000) */
  const char* log_path;         /**< the session's rolling log file (NULL: its own file
                                     "LogKestalHostCommService-<n>.txt" for the process's n-th
                                     session, beside the process-wide one) */
  int resume_scan;              /**< 1: after a reconnect, send START_SCAN again if the
                                     application's last scan order was a start (0: the
                                     application sends it again itself) */
} kestal_session_config;
/** Opens a session as `config` says (nothing runs until kestal_session_start): KESTAL_OK with the
 * session in `*out`, or KESTAL_E_INVALID (NULL argument, `size` too small, a bad comm type, host,
 * port or path). */
KESTAL_C_API int kestal_session_open(const kestal_session_config* config, kestal_session** out);
/** Stops the session if it runs and frees what it holds; NULL is a no-op. Any thread but the
 * session's own callbacks (from one of them it does nothing: the reason goes to
 * kestal_last_error). The handle stays recognisably closed: using it again gives
 * KESTAL_E_INVALID. */
KESTAL_C_API void kestal_session_close(kestal_session* s);
/** As kestal_start and kestal_stop, for the session. Two sessions may not own the same arm port
 * or the same disk at once: the second start gives KESTAL_E_INVALID with the reason. */
KESTAL_C_API int kestal_session_start(kestal_session* s);
KESTAL_C_API int kestal_session_stop(kestal_session* s);
/** The session twins of the global functions of the same names. */
KESTAL_C_API int kestal_session_set_frame_callback(kestal_session* s, kestal_frame_fn callback,
                                                   void* user_data);
KESTAL_C_API int kestal_session_set_event_callback(kestal_session* s, kestal_event_fn callback,
                                                   void* user_data);
KESTAL_C_API int kestal_session_set_event_detail_callback(kestal_session* s,
                                                          kestal_event_detail_fn callback,
                                                          void* user_data);
KESTAL_C_API int kestal_session_set_message_callback(kestal_session* s, kestal_message_fn callback,
                                                     void* user_data);
KESTAL_C_API int kestal_session_set_scanner_state_callback(kestal_session* s,
                                                           kestal_state_fn callback,
                                                           void* user_data);
KESTAL_C_API int kestal_session_set_arm_state_callback(kestal_session* s, kestal_state_fn callback,
                                                       void* user_data);
KESTAL_C_API int kestal_session_set_status_line_utf8_callback(kestal_session* s,
                                                              kestal_text_fn callback,
                                                              void* user_data);
KESTAL_C_API int kestal_session_send(kestal_session* s, unsigned short type,
                                     const unsigned char* data, unsigned int len);
KESTAL_C_API int kestal_session_update_firmware(kestal_session* s, unsigned short firmware_type,
                                                const unsigned char* data, unsigned int len);
KESTAL_C_API int kestal_session_request(kestal_session* s, unsigned short sub_type,
                                        const unsigned char* params, unsigned int params_len,
                                        unsigned int timeout_ms, kestal_ack* ack);
KESTAL_C_API int kestal_session_get_health(kestal_session* s, kestal_health* out);
/** As kestal_last_error for the session; a NULL or closed session gives the reason of that
 * refusal. */
KESTAL_C_API int kestal_session_last_error(kestal_session* s, char* buf, unsigned int len);
/** The next value of the session's own message sequence counter (which its requests, heartbeats
 * and firmware files number with), for orders the application numbers itself; 0 for a NULL or
 * closed session (a number the counter gives only after 65535 others). */
KESTAL_C_API unsigned short kestal_session_next_seq_no(kestal_session* s);
/** As kestal_print_volume_run_info, for the session's disk; nothing for a NULL or closed one. */
KESTAL_C_API void kestal_session_print_volume_run_info(kestal_session* s);
/** 1 or 0 as kestal_is_connected; 0 for a NULL or closed session. */
KESTAL_C_API int kestal_session_is_connected(kestal_session* s);
KESTAL_C_API int kestal_session_wait_connected(kestal_session* s, unsigned int timeout_ms);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_KESTAL_C_H */
