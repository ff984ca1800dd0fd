/** \file
 * KestalHostComm's protocol catalogue, for applications: the message types, the order sub
 * types, the device's state codes, and decoders that fill plain C structs from the bytes the
 * receive callback gives. Every decoder checks the length first and never reads past it.
 *
 * All multi-byte fields on the wire are little-endian and packed. The decoders take a message's
 * payload as the receive callback passes it (`data`, `len`), copy what they decode, and keep no
 * pointer except where a field says so (a pointer into `data`, valid as long as `data` is).
 *
 * C89; no other header needed. Threads: any, at any time; the functions keep no state but the
 * reason of a refusal (KESTAL_E_INVALID), which kestal_last_error gives on the calling thread
 * only.
 */
#ifndef KESTAL_KESTAL_PROTOCOL_H
#define KESTAL_KESTAL_PROTOCOL_H

#include "kestal_c.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Message types: the `type` of kestal_send and of the receive callback. */
enum {
  KESTAL_MSG_ARM = 1,               /**< arm messages, relayed by the library itself */
  KESTAL_MSG_Y_IMAGE = 2,           /**< a Y image: 72-byte header, then 32-bit floats */
  KESTAL_MSG_IMAGE_PIECE = 3,       /**< an original image frame, as the callback receives it
                                         whole */
  KESTAL_MSG_WRITE_CONFIG = 4,      /**< write-config order, and its ACK */
  KESTAL_MSG_READ_CONFIG = 5,       /**< read-config order, and its ACK with the file */
  KESTAL_MSG_ORDER = 6,             /**< an order to the device, and its ACK */
  KESTAL_MSG_CONTROLLER_STATUS = 7, /**< the controller's status record, about once a second */
  KESTAL_MSG_Y_IMAGE_PIECE = 8,     /**< a Y-original image frame, laid out as type 3 */
  KESTAL_MSG_UPDATE_FIRMWARE = 9    /**< firmware chunks to the device, progress ACKs from it */
};

/** Order sub types: the second field of an order (KESTAL_MSG_ORDER) and of its ACK. */
enum {
  KESTAL_ORDER_HEART_BEAT = 0,
  KESTAL_ORDER_START_SCAN = 1,
  KESTAL_ORDER_STOP_SCAN = 2,
  KESTAL_ORDER_START_SCAN_ALT = 3, /**< the device treats it as start scan */
  KESTAL_ORDER_STOP_SCAN_ALT = 4,  /**< the device treats it as stop scan */
  KESTAL_ORDER_SET_EXPOSURE = 21,
  KESTAL_ORDER_SET_GAIN = 22,
  KESTAL_ORDER_TRIGGER_SINGLE = 27,
  KESTAL_ORDER_TRIGGER_CONTINUE = 28,
  KESTAL_ORDER_ENTER_ORIGINAL_IMAGE = 29,
  KESTAL_ORDER_ENTER_Y_IMAGE = 30,
  KESTAL_ORDER_SET_COMM_TYPE = 70, /**< sent by the library on every connection */
  KESTAL_ORDER_SET_SENSOR_REG = 80,
  KESTAL_ORDER_SENSOR_REG_MAP = 81,
  KESTAL_ORDER_STATIC_INFO = 82,
  KESTAL_ORDER_FPGA_TEMP = 83
};

/** An ACK's code: 0 when the device did what was asked; other values are the device's reasons. */
enum { KESTAL_ACK_OK = 0 };

/** The device's state codes, as the scanner and arm state callbacks give them. */
enum {
  KESTAL_STATE_WORKING = 0,
  KESTAL_STATE_NOT_FOUND = 1,
  KESTAL_STATE_OPEN_FAILED = 2,
  KESTAL_STATE_IO_ERROR = 3,
  KESTAL_STATE_INSERTED = 4,
  KESTAL_STATE_REMOVED = 5,
  KESTAL_STATE_TIMEOUT = 6,
  KESTAL_STATE_NO_STATUS = 7 /**< no controller status for 3 s, or a code the library does not
                                  know */
};

/** The English name of a state code ("working normally", ..., "no status"); never null. A code
 * above KESTAL_STATE_NO_STATUS is named as that one, as the state callbacks report it. */
KESTAL_C_API const char* kestal_state_name(unsigned int state);

/** The name of a message type: its KESTAL_MSG_* constant without the prefix ("ORDER" for
 * KESTAL_MSG_ORDER); "" for a type the library does not know. Never null. */
KESTAL_C_API const char* kestal_msg_name(int type);
/** The name of an order sub type: its KESTAL_ORDER_* constant without the prefix ("FPGA_TEMP"
 * for KESTAL_ORDER_FPGA_TEMP); "" for a sub type the library does not know. Never null. */
KESTAL_C_API const char* kestal_order_name(int sub_type);

/** An order ACK (KESTAL_MSG_ORDER from the device): seq_no, sub type, code, then the reply. */
typedef struct kestal_order_ack {
  unsigned short seq_no;      /**< the order's sequence number */
  unsigned short sub_type;    /**< the order's sub type (KESTAL_ORDER_*) */
  unsigned short code;        /**< KESTAL_ACK_OK or the device's reason */
  unsigned int reply_len;     /**< reply bytes that arrived (at most what the ACK announced) */
  const unsigned char* reply; /**< points into `data` */
} kestal_order_ack;
/** Decoders return KESTAL_OK, or KESTAL_E_INVALID for input too short for the layout or a null
 * argument. KESTAL_E_INVALID for fewer than 10 bytes. */
KESTAL_C_API int kestal_decode_order_ack(const unsigned char* data, unsigned int len,
                                         kestal_order_ack* out);

/** The view of an ACK that kestal_request filled, for the reply decoders below: KESTAL_OK, or
 * KESTAL_E_INVALID for a null argument. `out->reply` points into `ack`. */
KESTAL_C_API int kestal_view_ack(const kestal_ack* ack, kestal_order_ack* out);

/** The reply of KESTAL_ORDER_FPGA_TEMP: degrees Celsius (raw x 0.01 - 40). */
KESTAL_C_API int kestal_decode_fpga_temp(const kestal_order_ack* ack, double* celsius);

/** The reply of KESTAL_ORDER_STATIC_INFO: two versions of four numbers each (major, minor,
 * revision, build). */
typedef struct kestal_static_info {
  unsigned int app_version[4];
  unsigned int fpga_version[4];
} kestal_static_info;
KESTAL_C_API int kestal_decode_static_info(const kestal_order_ack* ack, kestal_static_info* out);

/** The reply of KESTAL_ORDER_SENSOR_REG_MAP: the fields the library knows, registers read as
 * big-endian runs of bytes. */
typedef struct kestal_sensor_map {
  unsigned int roi_height;
  unsigned int start_row;
  unsigned int flip;
  unsigned int exposure;
  unsigned int gain;
  unsigned int temperature; /**< the sensor's raw temperature register */
} kestal_sensor_map;
KESTAL_C_API int kestal_decode_sensor_map(const kestal_order_ack* ack, kestal_sensor_map* out);

/** The controller status record (KESTAL_MSG_CONTROLLER_STATUS); needs its first 32 bytes. */
typedef struct kestal_controller_status {
  unsigned int scanner_state; /**< KESTAL_STATE_* */
  unsigned int fpga_bytes;
  unsigned int fpga_fps;
  unsigned int arm_state; /**< KESTAL_STATE_* */
  unsigned int arm_fps;
  unsigned int host_send_bytes;
  unsigned int host_recv_bytes;
  double fpga_temp_celsius;
} kestal_controller_status;
KESTAL_C_API int kestal_decode_controller_status(const unsigned char* data, unsigned int len,
                                                 kestal_controller_status* out);

/** The 80-byte header of an image frame (KESTAL_MSG_IMAGE_PIECE, KESTAL_MSG_Y_IMAGE_PIECE), as
 * the receive callback gives the whole frame: the header, then image_size bytes of pixels. */
typedef struct kestal_image_header {
  unsigned int number; /**< the device's frame counter */
  unsigned short kind; /**< the frame's message type */
  unsigned int width;  /**< nominal width and height of the image */
  unsigned int height;
  unsigned int image_size; /**< bytes of pixels behind the header */
} kestal_image_header;
enum { KESTAL_IMAGE_HEADER_LEN = 80 };
KESTAL_C_API int kestal_decode_image_header(const unsigned char* data, unsigned int len,
                                            kestal_image_header* out);

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_KESTAL_PROTOCOL_H */
