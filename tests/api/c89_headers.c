/* The C headers as a C89 compiler with -pedantic sees them: built, never run. */
#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

int kestal_c89_headers_compile(void) {
  kestal_order_ack ack;
  char host[16];
  unsigned short port;
  return kestal_decode_order_ack(0, 0, &ack) + KESTAL_VERSION_MAJOR + KESTAL_MSG_ORDER +
         kestal_default_endpoint(KESTAL_COMM_NETWORK, host, sizeof host, &port) +
         kestal_is_connected() + (int)*kestal_msg_name(KESTAL_MSG_ORDER) +
         (int)*kestal_order_name(KESTAL_ORDER_HEART_BEAT);
}
