/* The C headers as a C89 compiler with -pedantic sees them: built, never run. */
#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

int kestal_c89_headers_compile(void) {
  kestal_order_ack ack;
  return kestal_decode_order_ack(0, 0, &ack) + KESTAL_VERSION_MAJOR + KESTAL_MSG_ORDER;
}
