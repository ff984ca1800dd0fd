/* kestal-two-devices: two scan heads at once, one session each, in plain C on KestalHostComm's C
 * interface.
 *
 *   kestal-two-devices HOST1 PORT1 HOST2 PORT2 [SECONDS [HOST3 PORT3]]
 *
 * Opens a session per device (no arm relay), each with its own frame callback state as user data,
 * asks each for its FPGA temperature, starts both scans and waits for ten frames of each. Then it
 * stops the first session, prints "device 1 stopped", and counts the second one's frames for
 * SECONDS more (default 2): they must go on with no frame number missing. A third device, if
 * given, runs on the process-wide service through the global functions, as in a program that used
 * them before it had sessions; it must stream on beside the sessions likewise. Every wait gives up
 * after 10 s. Exit 0 on success, 1 on a failure (the reason on stderr), 2 on bad arguments. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
static void SleepMs(unsigned ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

enum { MAX_DEVICES = 3, FRAMES_WANTED = 10, WAIT_MS = 10000, REQUEST_TIMEOUT_MS = 5000 };

/* What one device's frame callback saw; the callback runs on that session's receive worker. */
typedef struct Device {
  kestal_session* session; /* NULL: the process-wide service */
  atomic_uint frames;
  atomic_uint size;   /* pixel bytes of its first frame */
  atomic_uint others; /* frames of another size: another device's */
  atomic_uint last;   /* the last frame number */
  atomic_uint gaps;   /* frame numbers missing */
} Device;

static void OnFrame(const kestal_frame* frame, void* user_data) {
  Device* d = (Device*)user_data;
  unsigned last = atomic_load(&d->last);
  if (atomic_load(&d->frames) == 0) atomic_store(&d->size, frame->pixels_len);
  if (frame->pixels_len != atomic_load(&d->size)) atomic_fetch_add(&d->others, 1);
  if (atomic_load(&d->frames) > 0 && frame->number != last + 1) atomic_fetch_add(&d->gaps, 1);
  atomic_store(&d->last, frame->number);
  atomic_fetch_add(&d->frames, 1);
}

static int Fail(kestal_session* s, const char* what) {
  char reason[256];
  if (s)
    kestal_session_last_error(s, reason, sizeof reason);
  else
    kestal_last_error(reason, sizeof reason);
  fprintf(stderr, "kestal-two-devices: %s: %s\n", what, reason);
  return 1;
}

static int Request(Device* d, unsigned short order, kestal_ack* ack) {
  return d->session ? kestal_session_request(d->session, order, NULL, 0, REQUEST_TIMEOUT_MS, ack)
                    : kestal_request(order, NULL, 0, REQUEST_TIMEOUT_MS, ack);
}

/* Starts the device of a session, or (`global`) of the process-wide service, and waits for its
 * link. */
static int Start(Device* d, const char* host, unsigned short port, int global) {
  kestal_session_config config;
  if (global) {
    if (kestal_set_comm_type(KESTAL_COMM_NETWORK) != KESTAL_OK ||
        kestal_set_network_endpoint(KESTAL_COMM_NETWORK, host, port) != KESTAL_OK)
      return Fail(NULL, "address");
    kestal_set_frame_callback(OnFrame, d);
    if (kestal_start() != KESTAL_OK) return Fail(NULL, "start");
    return kestal_wait_connected(WAIT_MS) ? 0 : Fail(NULL, "connect");
  }
  memset(&config, 0, sizeof config);
  config.size = sizeof config;
  config.comm_type = KESTAL_COMM_NETWORK;
  config.host = host;
  config.port = port;
  if (kestal_session_open(&config, &d->session) != KESTAL_OK) return Fail(NULL, "open");
  kestal_session_set_frame_callback(d->session, OnFrame, d);
  if (kestal_session_start(d->session) != KESTAL_OK) return Fail(d->session, "start");
  return kestal_session_wait_connected(d->session, WAIT_MS) ? 0 : Fail(d->session, "connect");
}

/* Starts and connects one device, and starts its scan. */
static int Open(Device* d, const char* host, unsigned short port, int global) {
  kestal_ack ack;
  if (Start(d, host, port, global)) return 1;
  if (Request(d, KESTAL_ORDER_FPGA_TEMP, &ack) != KESTAL_OK)
    return Fail(d->session, "FPGA temperature");
  printf("device %s:%u: FPGA temperature ACK seq_no %u\n", host, port, ack.seq_no);
  if (Request(d, KESTAL_ORDER_START_SCAN, &ack) != KESTAL_OK) return Fail(d->session, "start scan");
  return 0;
}

/* Waits until `d` has `count` frames; 0, or 1 after WAIT_MS. */
static int WaitFrames(Device* d, unsigned count) {
  unsigned waited = 0;
  for (; atomic_load(&d->frames) < count; waited += 10) {
    if (waited >= WAIT_MS) return 1;
    SleepMs(10);
  }
  return 0;
}

int main(int argc, char** argv) {
  static Device devices[MAX_DEVICES];
  const unsigned count = argc == 8 ? 3 : 2;
  const unsigned seconds = argc >= 6 ? (unsigned)atoi(argv[5]) : 2;
  unsigned after_stop[MAX_DEVICES], i, others = 0;
  int failed = 0;
  if (argc != 5 && argc != 6 && argc != 8) {
    fprintf(stderr, "usage: kestal-two-devices HOST1 PORT1 HOST2 PORT2 [SECONDS [HOST3 PORT3]]\n");
    return 2;
  }
  for (i = 0; i < count && !failed; ++i) {
    const unsigned arg = i < 2 ? 1 + 2 * i : 6;
    failed = Open(&devices[i], argv[arg], (unsigned short)atoi(argv[arg + 1]), i == 2);
  }
  for (i = 0; i < count && !failed; ++i) {
    if (WaitFrames(&devices[i], FRAMES_WANTED)) failed = Fail(devices[i].session, "frames");
    printf("device %u: %u frames of %u bytes, %u of another size\n", i + 1,
           atomic_load(&devices[i].frames), atomic_load(&devices[i].size),
           atomic_load(&devices[i].others));
    others += atomic_load(&devices[i].others);
  }
  if (!failed) {
    kestal_session_stop(devices[0].session);
    printf("device 1 stopped\n");
    fflush(stdout);
    for (i = 1; i < count; ++i) after_stop[i] = atomic_load(&devices[i].frames);
    SleepMs(seconds * 1000);
    for (i = 1; i < count; ++i) {
      after_stop[i] = atomic_load(&devices[i].frames) - after_stop[i];
      printf("device %u: %u frames after device 1 stopped, %u frame numbers missing\n", i + 1,
             after_stop[i], atomic_load(&devices[i].gaps));
      failed |= after_stop[i] == 0 || atomic_load(&devices[i].gaps) > 0;
    }
    failed |= others > 0;
  }
  for (i = 0; i < 2; ++i) kestal_session_close(devices[i].session);
  if (count == 3) kestal_stop();
  return failed ? 1 : 0;
}
