/* kestal-sample: a host application in plain C on KestalHostComm's C interface.
 *
 *   kestal-sample HOST PORT
 *
 * Connects to the device (or the simulator) at HOST:PORT, prints the connection events and the
 * status line, asks for the FPGA temperature and prints the decoded ACK. Exits 0 once the ACK
 * came, 1 when there was no connection or no ACK within 10 s, 2 on bad arguments. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

static atomic_int g_connected;
static atomic_int g_wanted_seq_no = -1;
static double g_fpga_temp; /* degrees Celsius, once g_have_temp is set */
static atomic_int g_have_temp;
static atomic_int g_status_lines;

static void OnEvent(int event, const char* text, void* user_data) {
  (void)user_data;
  printf("event: %s\n", text);
  fflush(stdout);
  if (event == KESTAL_EVENT_CONNECTED_OK) atomic_store(&g_connected, 1);
}

static void OnStatusLine(const char* text, void* user_data) {
  (void)user_data;
  printf("status: %s\n", text); /* code page 936 bytes, as the device reports them */
  fflush(stdout);
  atomic_fetch_add(&g_status_lines, 1);
}

/* The ACK of our order: decoded with the protocol header's decoders, which check the length. */
static void OnMessage(unsigned short type, const unsigned char* data, unsigned int len,
                      void* user_data) {
  kestal_order_ack ack;
  (void)user_data;
  if (type != KESTAL_MSG_ORDER || kestal_decode_order_ack(data, len, &ack) != KESTAL_OK) return;
  if (ack.sub_type != KESTAL_ORDER_FPGA_TEMP || ack.seq_no != atomic_load(&g_wanted_seq_no)) return;
  if (kestal_decode_fpga_temp(&ack, &g_fpga_temp) == KESTAL_OK) atomic_store(&g_have_temp, 1);
}

/* Waits up to `ms` for *flag to differ from `unset`. */
static int WaitFor(atomic_int* flag, int unset, unsigned ms) {
  for (unsigned waited = 0; atomic_load(flag) == unset && waited < ms; waited += 20) SleepMs(20);
  return atomic_load(flag) != unset;
}

int main(int argc, char** argv) {
  char* end = NULL;
  const unsigned long port = argc == 3 ? strtoul(argv[2], &end, 10) : 0;
  if (argc != 3 || *end != '\0' || port == 0 || port > 65535) {
    fprintf(stderr, "usage: kestal-sample HOST PORT\n");
    return 2;
  }
  kestal_set_event_callback(OnEvent, NULL);
  kestal_set_status_line_callback(OnStatusLine, NULL);
  kestal_set_message_callback(OnMessage, NULL);
  if (kestal_set_network_endpoint(KESTAL_COMM_NETWORK, argv[1], (unsigned short)port) != 0) {
    fprintf(stderr, "kestal-sample: bad device address %s\n", argv[1]);
    return 2;
  }
  kestal_set_comm_type(KESTAL_COMM_NETWORK);
  kestal_start();

  int result = 1;
  if (!WaitFor(&g_connected, 0, 10000)) {
    fprintf(stderr, "kestal-sample: no connection to %s:%lu within 10 s\n", argv[1], port);
  } else {
    const unsigned short seq_no = kestal_next_seq_no();
    unsigned char order[8] = {
        (unsigned char)seq_no, (unsigned char)(seq_no >> 8), KESTAL_ORDER_FPGA_TEMP, 0, 0, 0, 0, 0};
    atomic_store(&g_wanted_seq_no, seq_no);
    if (kestal_send(KESTAL_MSG_ORDER, order, sizeof order) == 0 &&
        WaitFor(&g_have_temp, 0, 10000)) {
      WaitFor(&g_status_lines, 0, 5000); /* the first status line comes within a second or two */
      printf("ACK fpga-temp seq_no=%u: fpga temperature %.2f C\n", seq_no, g_fpga_temp);
      result = 0;
    } else {
      fprintf(stderr, "kestal-sample: no ACK within 10 s\n");
    }
  }
  kestal_stop();
  return result;
}
