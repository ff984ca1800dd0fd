/* kestal-grab-frames-c: saves five image frames of the device as PGM files, in plain C on
 * KestalHostComm's C interface.
 *
 *   kestal-grab-frames-c HOST PORT DIR
 *
 * Connects to the device (or the simulator) at HOST:PORT, asks for the FPGA temperature and prints
 * it, starts the scan, saves the first five frames as DIR/frame_NUMBER.pgm (made by the frame
 * callback, which may keep the frame's pointers only during the call), printing each frame's
 * number, size and time, then stops the scan and the library. Every wait gives up after 10 s.
 * Exit 0 on success, 1 on a failure (the reason on stderr), 2 on bad arguments. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* nanosleep, mkdir */
#endif
#include <errno.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
static int MakeDir(const char* path) { return _mkdir(path); }
#else
#include <sys/stat.h>
static void SleepMs(unsigned ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
static int MakeDir(const char* path) { return mkdir(path, 0777); }
#endif

enum { FRAMES_WANTED = 5, WAIT_MS = 10000, REQUEST_TIMEOUT_MS = 5000, PGM_MAX_GREY = 255 };
#define NS_PER_SECOND 1000000000
#define NS_PER_MS 1000000

static const char* g_dir;
static atomic_int g_connected;
static atomic_int g_scanning;
static atomic_int g_saved;   /* frames saved so far */
static atomic_int g_failed;  /* a frame could not be saved; g_failure says why */
static char g_failure[4200]; /* room for a whole path */

static void OnEvent(int event, const char* text, void* user_data) {
  (void)text;
  (void)user_data;
  if (event == KESTAL_EVENT_CONNECTED_OK) atomic_store(&g_connected, 1);
}

/* "2026-12-07T08:41:02.123Z" */
static void FormatUtc(kestal_i64 utc_ns, char* out, size_t len) {
  const time_t seconds = (time_t)(utc_ns / NS_PER_SECOND);
  const struct tm* t = gmtime(&seconds);
  const size_t n = t ? strftime(out, len, "%Y-%m-%dT%H:%M:%S", t) : 0;
  snprintf(out + n, len - n, ".%03dZ", (int)(utc_ns % NS_PER_SECOND / NS_PER_MS));
}

/* Runs on the library's receive thread: writes the frame before the call returns. */
static void OnFrame(const kestal_frame* frame, void* user_data) {
  char path[4096], utc[64];
  FILE* file;
  int written;
  (void)user_data;
  if (!atomic_load(&g_scanning) || atomic_load(&g_failed) || atomic_load(&g_saved) >= FRAMES_WANTED)
    return;
  if (frame->kind == KESTAL_MSG_Y_IMAGE) return; /* 32-bit floats, no width and height */
  if (frame->width == 0 || frame->height == 0 ||
      (kestal_u64)frame->width * frame->height > frame->pixels_len) {
    snprintf(g_failure, sizeof g_failure, "frame %u: %ux%u does not fit its %u bytes of pixels",
             frame->number, frame->width, frame->height, frame->pixels_len);
    atomic_store(&g_failed, 1);
    return;
  }
  snprintf(path, sizeof path, "%s/frame_%u.pgm", g_dir, frame->number);
  file = fopen(path, "wb");
  written = file &&
            fprintf(file, "P5\n%u %u\n%d\n", frame->width, frame->height, PGM_MAX_GREY) > 0 &&
            fwrite(frame->pixels, 1, (size_t)frame->width * frame->height, file) ==
                (size_t)frame->width * frame->height;
  if (file && fclose(file) != 0) written = 0;
  if (!written) {
    snprintf(g_failure, sizeof g_failure, "cannot write %s", path);
    atomic_store(&g_failed, 1);
    return;
  }
  FormatUtc(frame->utc_time_ns, utc, sizeof utc);
  printf("frame %u: %ux%u, %u bytes, host time %lld.%09lld s, UTC %s\n", frame->number,
         frame->width, frame->height, frame->pixels_len,
         (long long)(frame->host_time_ns / NS_PER_SECOND),
         (long long)(frame->host_time_ns % NS_PER_SECOND), utc);
  fflush(stdout);
  atomic_fetch_add(&g_saved, 1);
}

/* Waits up to WAIT_MS for *flag to reach `value`, or for a failure. */
static int WaitFor(atomic_int* flag, int value) {
  unsigned waited;
  for (waited = 0; atomic_load(flag) < value && !atomic_load(&g_failed) && waited < WAIT_MS;
       waited += 20)
    SleepMs(20);
  return atomic_load(flag) >= value;
}

/* An order and its ACK: 1 when the device did it; 0 with the reason on stderr. */
static int Order(unsigned short sub_type, const char* name, kestal_ack* ack) {
  const int rc = kestal_request(sub_type, NULL, 0, REQUEST_TIMEOUT_MS, ack);
  char reason[512];
  if (rc != KESTAL_OK) {
    kestal_last_error(reason, sizeof reason);
    fprintf(stderr, "kestal-grab-frames-c: %s: %s (%d)\n", name, reason, rc);
    return 0;
  }
  if (ack->code != KESTAL_ACK_OK) {
    fprintf(stderr, "kestal-grab-frames-c: %s: the device answered code %u\n", name, ack->code);
    return 0;
  }
  return 1;
}

static int Grab(const char* host, unsigned long port) {
  static kestal_ack ack; /* 4 KiB of reply room */
  kestal_order_ack view;
  double celsius;
  char reason[512];
  int ok;
  if (!WaitFor(&g_connected, 1)) {
    kestal_last_error(reason, sizeof reason);
    fprintf(stderr, "kestal-grab-frames-c: no connection to %s:%lu within 10 s: %s\n", host, port,
            reason[0] ? reason : "no reason reported");
    return 0;
  }
  if (!Order(KESTAL_ORDER_FPGA_TEMP, "fpga-temp", &ack)) return 0;
  if (kestal_view_ack(&ack, &view) != KESTAL_OK ||
      kestal_decode_fpga_temp(&view, &celsius) != KESTAL_OK) {
    fprintf(stderr, "kestal-grab-frames-c: the FPGA temperature reply of %u bytes is too short\n",
            ack.reply_len);
    return 0;
  }
  printf("FPGA temperature %.2f C\n", celsius);
  fflush(stdout);

  atomic_store(&g_scanning, 1);
  if (!Order(KESTAL_ORDER_START_SCAN, "start-scan", &ack)) return 0;
  ok = WaitFor(&g_saved, FRAMES_WANTED);
  atomic_store(&g_scanning, 0);
  if (atomic_load(&g_failed))
    fprintf(stderr, "kestal-grab-frames-c: %s\n", g_failure);
  else if (!ok)
    fprintf(stderr, "kestal-grab-frames-c: %d of %d frames within 10 s\n", atomic_load(&g_saved),
            FRAMES_WANTED);
  return Order(KESTAL_ORDER_STOP_SCAN, "stop-scan", &ack) && ok && !atomic_load(&g_failed);
}

int main(int argc, char** argv) {
  char* end = NULL;
  const unsigned long port = argc == 4 ? strtoul(argv[2], &end, 10) : 0;
  int ok;
  if (argc != 4 || *end != '\0' || port == 0 || port > 65535) {
    fprintf(stderr, "usage: kestal-grab-frames-c HOST PORT DIR\n");
    return 2;
  }
  g_dir = argv[3];
  if (MakeDir(g_dir) != 0 && errno != EEXIST) { /* an existing one is used as it is */
    fprintf(stderr, "kestal-grab-frames-c: cannot make %s: %s\n", g_dir, strerror(errno));
    return 1;
  }
  kestal_set_event_callback(OnEvent, NULL);
  kestal_set_frame_callback(OnFrame, NULL);
  if (kestal_set_network_endpoint(KESTAL_COMM_NETWORK, argv[1], (unsigned short)port) != 0) {
    fprintf(stderr, "kestal-grab-frames-c: bad device address %s\n", argv[1]);
    return 2;
  }
  kestal_set_comm_type(KESTAL_COMM_NETWORK);
  kestal_start(); /* -1: not connected yet, the library keeps trying */
  ok = Grab(argv[1], port);
  kestal_stop();
  return ok ? 0 : 1;
}
