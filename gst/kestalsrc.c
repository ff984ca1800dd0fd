/* kestalsrc: the scan head's image frames as a live GStreamer source, on KestalHostComm's C
 * interface.
 *
 * Threads:
 *  - application thread: properties, start and stop (the state changes), unlock and unlock_stop;
 *  - streaming thread: create (pops frames from the queue), queries;
 *  - the library's receive thread: on_frame copies each frame into a GstBuffer and queues it;
 *  - the library's other threads: on_event and the state callbacks post bus messages;
 *  - the element's order thread: sends the image-kind and start-scan orders after each "Connected
 *    OK", since kestal_session_request waits for the ACK and must not run on a library thread.
 * The properties are read under the object lock; everything the threads share is under `lock`.
 * Bus messages are posted from the library's threads too: a synchronous bus handler must not stop
 * the pipeline from there (the library's stop may not be called from its callbacks).
 * Each element opens a library session of its own at start and closes it at stop, so several
 * kestalsrc in one process stream several devices. */
#include <string.h>
#include <time.h>

#include <gst/gst.h>
#include <gst/base/gstpushsrc.h>

#include "kestal/kestal_c.h"
#include "kestal/kestal_protocol.h"

GST_DEBUG_CATEGORY_STATIC(kestal_src_debug);
#define GST_CAT_DEFAULT kestal_src_debug

#define ORDER_TIMEOUT_MS 1000
#define ORDER_TRIES 3
#define DEFAULT_PERIOD (100 * GST_MSECOND) /* the frame period assumed before two frames came */
#define DEFAULT_FRAME_QUEUE 4

/* What `kind` selects: the frames' message type, and the order that puts the device into that
 * mode. The device answers the order to enter Y images with Y-original frames (as the kestal
 * tool's enter-y does), so Y images have no order of their own. */
enum { KIND_ORIGINAL, KIND_Y_ORIGINAL, KIND_Y_IMAGE };
static const struct {
  unsigned short msg;
  int order;
} kinds[] = {{KESTAL_MSG_IMAGE_PIECE, KESTAL_ORDER_ENTER_ORIGINAL_IMAGE},
             {KESTAL_MSG_Y_IMAGE_PIECE, KESTAL_ORDER_ENTER_Y_IMAGE},
             {KESTAL_MSG_Y_IMAGE, -1}};

#define GST_TYPE_KESTAL_SRC (gst_kestal_src_get_type())
G_DECLARE_FINAL_TYPE(GstKestalSrc, gst_kestal_src, GST, KESTAL_SRC, GstPushSrc)

/* One frame between the library's receive thread and the streaming thread. */
typedef struct {
  GstBuffer* buffer; /* the pixels, GST_BUFFER_OFFSET the device's frame number */
  gint64 host_ns;    /* steady clock when its last piece came */
  guint width, height;
} QueuedFrame;

struct _GstKestalSrc {
  GstPushSrc parent;

  /* Properties (object lock); start reads them. */
  gint transport;
  gchar* host;
  guint port;
  gchar* disk;
  gint kind;
  gboolean start_scan;
  guint frame_queue;

  /* Shared by every thread above (`lock`). `cond` wakes the streaming thread for a frame or a
   * flush and the order thread for a new link or the stop. */
  GMutex lock;
  GCond cond;
  GQueue frames; /* QueuedFrame*, oldest first */
  guint queue_max;
  unsigned short want_kind;
  int order, order_scan; /* as of start: the mode order (-1: none) and whether to start scanning */
  gboolean flushing, stopping, warned; /* the link itself: kestal_session_is_connected */
  guint link_gen;                      /* raised by each "Connected OK": the orders are due again */
  guint64 dropped;
  gint64 last_host_ns;
  GstClockTime period, latency; /* the frame period estimate; the latency queries are answered */
  gint scanner_state, arm_state;
  GThread* order_thread;
  kestal_session* session; /* this element's own, from start to stop */

  /* Streaming thread only. */
  guint width, height;
  gboolean have_caps, have_number;
  guint last_number;
  guint64 notified_dropped; /* `dropped` as last notified */
  GstClockTime last_pts;
};

G_DEFINE_TYPE(GstKestalSrc, gst_kestal_src, GST_TYPE_PUSH_SRC)

enum {
  PROP_0,
  PROP_TRANSPORT,
  PROP_HOST,
  PROP_PORT,
  PROP_DISK,
  PROP_KIND,
  PROP_START_SCAN,
  PROP_FRAME_QUEUE,
  PROP_DROPPED
};

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format=GRAY8, width=[1,2147483647], height=[1,2147483647], "
                    "framerate=0/1; application/x-kestal-y-image"));

static GParamSpec* dropped_param; /* notified from the streaming thread when it grew */

static GType gst_kestal_transport_get_type(void) {
  static const GEnumValue values[] = {
      {KESTAL_COMM_NETWORK, "TCP to the device's first endpoint", "network"},
      {KESTAL_COMM_NETWORK_ALT, "TCP to the device's second endpoint", "network-alt"},
      {KESTAL_COMM_STORAGE, "The device's disk used as a mailbox", "storage"},
      {0, NULL, NULL}};
  static GType type;
  if (g_once_init_enter(&type))
    g_once_init_leave(&type, g_enum_register_static("GstKestalTransport", values));
  return type;
}

static GType gst_kestal_kind_get_type(void) {
  static const GEnumValue values[] = {
      {KIND_ORIGINAL, "Original 8-bit grey images", "original"},
      {KIND_Y_ORIGINAL, "Y-original 8-bit grey images", "y-original"},
      {KIND_Y_IMAGE, "Y images: 32-bit floats as application/x-kestal-y-image", "y-image"},
      {0, NULL, NULL}};
  static GType type;
  if (g_once_init_enter(&type))
    g_once_init_leave(&type, g_enum_register_static("GstKestalKind", values));
  return type;
}

/* The clock of kestal_frame.host_time_ns (the library's steady clock). */
static gint64 steady_now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (gint64)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void free_frame(gpointer data) {
  QueuedFrame* frame = data;
  gst_buffer_unref(frame->buffer);
  g_free(frame);
}

static void count_dropped(GstKestalSrc* self) {
  g_mutex_lock(&self->lock);
  self->dropped++;
  g_mutex_unlock(&self->lock);
}

/* Library receive thread. The only copy of the pixels: into the buffer pushed later, laid out
 * with GStreamer's default GRAY8 stride (rows padded to 4 bytes). */
static void on_frame(const kestal_frame* f, void* user_data) {
  GstKestalSrc* self = user_data;
  if (f->kind != self->want_kind) return;
  if (f->pixels_len == 0) {
    GST_WARNING_OBJECT(self, "frame %u without pixels, dropped", f->number);
    count_dropped(self);
    return;
  }
  guint width = 0, height = 0, stride = 0;
  gsize size = f->pixels_len;
  if (f->kind != KESTAL_MSG_Y_IMAGE) {
    /* The header's width, and as many rows as the pixels fill, as the kestal tool reads it. */
    width = f->width;
    if (width == 0 || f->pixels_len % width != 0) {
      GST_WARNING_OBJECT(self, "frame %u: %u bytes are no rows of %u pixels, dropped", f->number,
                         f->pixels_len, width);
      count_dropped(self);
      return;
    }
    height = f->pixels_len / width;
    stride = GST_ROUND_UP_4(width);
    size = (gsize)stride * height;
  }
  GstBuffer* buffer = gst_buffer_new_allocate(NULL, size, NULL);
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    if (buffer) gst_buffer_unref(buffer);
    return;
  }
  if (stride == width) {
    memcpy(map.data, f->pixels, f->pixels_len);
  } else {
    for (guint y = 0; y < height; y++) {
      memcpy(map.data + (gsize)y * stride, f->pixels + (gsize)y * width, width);
      memset(map.data + (gsize)y * stride + width, 0, stride - width);
    }
  }
  gst_buffer_unmap(buffer, &map);
  GST_BUFFER_OFFSET(buffer) = f->number;
  QueuedFrame* frame = g_new(QueuedFrame, 1);
  *frame = (QueuedFrame){buffer, f->host_time_ns, width, height};

  g_mutex_lock(&self->lock);
  const gint64 gap = f->host_time_ns - self->last_host_ns;
  if (self->last_host_ns && gap > 0 && gap < 10 * GST_SECOND)
    self->period = (self->period * 7 + (GstClockTime)gap) / 8;
  self->last_host_ns = f->host_time_ns;
  g_queue_push_tail(&self->frames, frame);
  while (self->frames.length > self->queue_max) {
    free_frame(g_queue_pop_head(&self->frames));
    self->dropped++;
  }
  g_cond_broadcast(&self->cond);
  g_mutex_unlock(&self->lock);
}

/* Any library thread. Every event goes to the bus; the first failure after a link (or before the
 * first one) is also a warning. The library dials again by itself, so the element goes on
 * waiting for frames. */
static void on_event(int event, const char* text, const char* detail, void* user_data) {
  GstKestalSrc* self = user_data;
  gst_element_post_message(
      GST_ELEMENT(self),
      gst_message_new_element(GST_OBJECT(self),
                              gst_structure_new("kestal-event", "event", G_TYPE_INT, event, "text",
                                                G_TYPE_STRING, text ? text : "", "detail",
                                                G_TYPE_STRING, detail ? detail : "", NULL)));
  gboolean warn = FALSE, was_linked;
  g_mutex_lock(&self->lock);
  was_linked = self->link_gen > 0; /* warned once a link, so the first failure since ends one */
  if (event == KESTAL_EVENT_CONNECTED_OK) {
    self->warned = FALSE;
    self->link_gen++;
    g_cond_broadcast(&self->cond);
  } else if (event == KESTAL_EVENT_COMM_ERROR || event == KESTAL_EVENT_CONNECTED_ERROR ||
             event == KESTAL_EVENT_NOT_CONNECTED || event == KESTAL_EVENT_DEVICE_LEFT) {
    self->last_host_ns = 0; /* the outage is no frame period */
    warn = !self->warned;
    self->warned = TRUE;
  }
  g_mutex_unlock(&self->lock);
  if (warn)
    GST_ELEMENT_WARNING(
        self, RESOURCE, READ,
        ("%s", was_linked ? "Lost the link to the device" : "No link to the device yet"),
        ("%s: %s; the link is dialled again and frames resume once it is back", text,
         detail && *detail ? detail : "no reason given"));
}

/* Log-report worker, once a second: a "kestal-state" message when either state changed. */
static void on_state(GstKestalSrc* self, gint* slot, unsigned short state) {
  g_mutex_lock(&self->lock);
  const gboolean changed = *slot != state;
  *slot = state;
  const gint scanner = self->scanner_state, arm = self->arm_state;
  g_mutex_unlock(&self->lock);
  if (!changed) return;
  GstStructure* s = gst_structure_new(
      "kestal-state", "scanner", G_TYPE_INT, scanner, "scanner-text", G_TYPE_STRING,
      scanner < 0 ? "unknown" : kestal_state_name(scanner), "arm", G_TYPE_INT, arm, "arm-text",
      G_TYPE_STRING, arm < 0 ? "unknown" : kestal_state_name(arm), NULL);
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), s));
}
static void on_scanner_state(unsigned short state, void* user_data) {
  on_state(user_data, &GST_KESTAL_SRC(user_data)->scanner_state, state);
}
static void on_arm_state(unsigned short state, void* user_data) {
  on_state(user_data, &GST_KESTAL_SRC(user_data)->arm_state, state);
}

/* Order thread or application thread. TRUE when the device acknowledged the order. */
static gboolean send_order(GstKestalSrc* self, int sub_type, gchar** why) {
  kestal_ack ack;
  const int r = kestal_session_request(self->session, (unsigned short)sub_type, NULL, 0,
                                       ORDER_TIMEOUT_MS, &ack);
  if (r == KESTAL_OK && ack.code == KESTAL_ACK_OK) return TRUE;
  char reason[256];
  if (r == KESTAL_OK)
    g_snprintf(reason, sizeof reason, "the device answered code %u", ack.code);
  else
    kestal_session_last_error(self->session, reason, sizeof reason);
  GST_WARNING_OBJECT(self, "order %d: %s", sub_type, reason);
  if (why) *why = g_strdup_printf("order %d: %s", sub_type, reason);
  return FALSE;
}

/* After each new link the device may be a fresh one (restarted, or another): the mode and the
 * scan are ordered again, each try bounded, ORDER_TRIES tries per link. */
static gpointer order_loop(gpointer data) {
  GstKestalSrc* self = data;
  guint done = 0, tries = 0;
  g_mutex_lock(&self->lock);
  while (!self->stopping) {
    if (self->link_gen == done) {
      g_cond_wait(&self->cond, &self->lock);
      continue;
    }
    const guint gen = self->link_gen;
    const int order = self->order, scan = self->order_scan;
    g_mutex_unlock(&self->lock);
    gchar* why = NULL;
    const gboolean ok = (order < 0 || send_order(self, order, &why)) &&
                        (!scan || send_order(self, KESTAL_ORDER_START_SCAN, &why));
    g_mutex_lock(&self->lock);
    /* A link lost meanwhile is no refusal: the next link's "Connected OK" orders again. */
    const gboolean refused =
        !ok && kestal_session_is_connected(self->session) && self->link_gen == gen;
    if (!refused || ++tries >= ORDER_TRIES) {
      done = gen;
      tries = 0;
      if (refused) {
        g_mutex_unlock(&self->lock);
        GST_ELEMENT_WARNING(self, RESOURCE, WRITE, ("The device did not take the start orders"),
                            ("%s", why));
        g_mutex_lock(&self->lock);
      }
    } else { /* `cond` also wakes for every frame: wait out the half second */
      const gint64 until = g_get_monotonic_time() + G_TIME_SPAN_SECOND / 2;
      while (!self->stopping && g_cond_wait_until(&self->cond, &self->lock, until)) continue;
    }
    g_free(why);
  }
  g_mutex_unlock(&self->lock);
  return NULL;
}

/* The session is this element's alone: its callbacks go with it when it is closed. */
static void set_callbacks(GstKestalSrc* self) {
  kestal_session_set_frame_callback(self->session, on_frame, self);
  kestal_session_set_event_detail_callback(self->session, on_event, self);
  kestal_session_set_scanner_state_callback(self->session, on_scanner_state, self);
  kestal_session_set_arm_state_callback(self->session, on_arm_state, self);
}

static void close_session(GstKestalSrc* self) {
  kestal_session_close(self->session); /* stops it first; no callback runs once it returned */
  self->session = NULL;
}

/* Application thread (READY to PAUSED). */
static gboolean gst_kestal_src_start(GstBaseSrc* src) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  GST_OBJECT_LOCK(self);
  const int comm = self->transport;
  gchar* host = g_strdup(self->host);
  gchar* disk = g_strdup(self->disk);
  guint port = self->port;
  const int kind = self->kind;
  const gboolean scan = self->start_scan;
  const guint queue_max = self->frame_queue;
  GST_OBJECT_UNLOCK(self);
  if (port == 0 && comm != KESTAL_COMM_STORAGE) {
    char default_host[16];
    unsigned short default_port = 0;
    if (kestal_default_endpoint(comm, default_host, sizeof default_host, &default_port) == 0)
      port = default_port;
  }

  gboolean ok = FALSE;
  kestal_session_config config;
  memset(&config, 0, sizeof config);
  config.size = sizeof config;
  config.comm_type = comm;
  if (comm != KESTAL_COMM_STORAGE && (!host || !*host)) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("No device address: set the host property"),
                      (NULL));
  } else if (comm == KESTAL_COMM_STORAGE && disk && *disk &&
             !g_file_test(disk, G_FILE_TEST_EXISTS)) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No disk %s", disk), (NULL));
  } else {
    if (comm == KESTAL_COMM_STORAGE) {
      config.disk = disk && *disk ? disk : NULL;
    } else {
      config.host = host;
      config.port = (unsigned short)port;
    }
    char why[512] = "";
    ok = kestal_session_open(&config, &self->session) == KESTAL_OK;
    if (!ok) {
      kestal_last_error(why, sizeof why);
      if (comm == KESTAL_COMM_STORAGE)
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("Bad disk path"), ("%s", why));
      else
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("Not a device address: %s port %u", host, port), ("%s", why));
    }
  }
  g_free(host);
  g_free(disk);
  if (!ok) return FALSE;

  g_mutex_lock(&self->lock);
  self->queue_max = MAX(queue_max, 1);
  self->want_kind = kinds[kind].msg;
  self->order = kinds[kind].order;
  self->order_scan = scan;
  self->flushing = self->stopping = self->warned = FALSE;
  self->link_gen = 0;
  self->dropped = 0;
  self->last_host_ns = 0;
  self->period = self->latency = DEFAULT_PERIOD;
  self->scanner_state = self->arm_state = -1;
  g_mutex_unlock(&self->lock);
  self->have_caps = self->have_number = FALSE;
  self->notified_dropped = 0;
  self->last_pts = GST_CLOCK_TIME_NONE;

  set_callbacks(self);
  if (kestal_session_start(self->session) != 0) {
    char why[512];
    kestal_session_last_error(self->session, why, sizeof why);
    close_session(self); /* ends the retries that a failed start leaves running */
    GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("Could not start the link to the device"),
                      ("%s", *why ? why : "the library gave no reason"));
    return FALSE;
  }
  self->order_thread = g_thread_new("kestalsrc-orders", order_loop, self);
  return TRUE;
}

/* Application thread (PAUSED to READY). */
static gboolean gst_kestal_src_stop(GstBaseSrc* src) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  g_mutex_lock(&self->lock);
  self->stopping = TRUE;
  g_cond_broadcast(&self->cond);
  const gboolean stop_scan = self->order_scan && kestal_session_is_connected(self->session);
  g_mutex_unlock(&self->lock);
  if (self->order_thread) g_thread_join(self->order_thread);
  self->order_thread = NULL;
  if (stop_scan) send_order(self, KESTAL_ORDER_STOP_SCAN, NULL);
  close_session(self);
  g_mutex_lock(&self->lock);
  g_queue_clear_full(&self->frames, free_frame);
  g_mutex_unlock(&self->lock);
  return TRUE;
}

/* Any thread: a flush or a pause ends the streaming thread's wait at once. */
static gboolean gst_kestal_src_unlock(GstBaseSrc* src) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  g_mutex_lock(&self->lock);
  self->flushing = TRUE;
  g_cond_broadcast(&self->cond);
  g_mutex_unlock(&self->lock);
  return TRUE;
}

static gboolean gst_kestal_src_unlock_stop(GstBaseSrc* src) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  g_mutex_lock(&self->lock);
  self->flushing = FALSE;
  g_mutex_unlock(&self->lock);
  return TRUE;
}

/* The caps come with the first frame, whose size nobody knows before. */
static gboolean gst_kestal_src_negotiate(GstBaseSrc* src) {
  (void)src;
  return TRUE;
}

static gboolean gst_kestal_src_query(GstBaseSrc* src, GstQuery* query) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return GST_BASE_SRC_CLASS(gst_kestal_src_parent_class)->query(src, query);
  /* A frame's time is when its last piece came: its first byte may be one frame period older. */
  g_mutex_lock(&self->lock);
  const GstClockTime latency = self->latency;
  g_mutex_unlock(&self->lock);
  gst_query_set_latency(query, TRUE, latency, GST_CLOCK_TIME_NONE);
  return TRUE;
}

/* The frame's running time: the pipeline clock and the steady clock are read together and the
 * frame's age on the steady clock is taken off the pipeline clock's time. Reading the pair for
 * each frame keeps any pipeline clock right (the system clock, or one that drifts from the steady
 * clock), and the time the frame spent in the queue does not count. FALSE for a frame that came
 * before the element was last set playing. */
static gboolean frame_running_time(GstKestalSrc* self, gint64 host_ns, GstClockTime* pts) {
  GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
  *pts = GST_CLOCK_TIME_NONE;
  if (!clock) return TRUE;
  const GstClockTime now = gst_clock_get_time(clock);
  const gint64 age = MAX(steady_now_ns() - host_ns, 0);
  const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
  gst_object_unref(clock);
  if (now < base + (GstClockTime)age) return FALSE;
  *pts = now - base - age;
  return TRUE;
}

/* Streaming thread. */
static GstFlowReturn gst_kestal_src_create(GstPushSrc* src, GstBuffer** out) {
  GstKestalSrc* self = GST_KESTAL_SRC(src);
  for (;;) {
    g_mutex_lock(&self->lock);
    while (!self->flushing && g_queue_is_empty(&self->frames))
      g_cond_wait(&self->cond, &self->lock);
    if (self->flushing) {
      g_mutex_unlock(&self->lock);
      return GST_FLOW_FLUSHING;
    }
    QueuedFrame* frame = g_queue_pop_head(&self->frames);
    const gboolean new_dropped = self->dropped != self->notified_dropped;
    self->notified_dropped = self->dropped;
    gboolean new_latency = FALSE;
    if (self->period > self->latency + self->latency / 4 ||
        self->period < self->latency - self->latency / 4) {
      self->latency = self->period;
      new_latency = TRUE;
    }
    g_mutex_unlock(&self->lock);
    if (new_latency)
      gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
    if (new_dropped) g_object_notify_by_pspec(G_OBJECT(self), dropped_param);

    GstClockTime pts;
    if (!frame_running_time(self, frame->host_ns, &pts) ||
        (GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(self->last_pts) &&
         pts < self->last_pts)) {
      GST_DEBUG_OBJECT(self, "frame %" G_GUINT64_FORMAT " came while not playing, dropped",
                       GST_BUFFER_OFFSET(frame->buffer));
      free_frame(frame);
      count_dropped(self);
      continue;
    }
    if (!self->have_caps || frame->width != self->width || frame->height != self->height) {
      GstCaps* caps =
          frame->width
              ? gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "GRAY8", "width",
                                    G_TYPE_INT, (gint)frame->width, "height", G_TYPE_INT,
                                    (gint)frame->height, "framerate", GST_TYPE_FRACTION, 0, 1, NULL)
              : gst_caps_new_empty_simple("application/x-kestal-y-image");
      const gboolean set = gst_base_src_set_caps(GST_BASE_SRC(self), caps);
      gst_caps_unref(caps);
      if (!set) {
        free_frame(frame);
        return GST_FLOW_NOT_NEGOTIATED;
      }
      self->have_caps = TRUE;
      self->width = frame->width;
      self->height = frame->height;
    }
    GstBuffer* buffer = frame->buffer;
    const guint frame_width = frame->width; /* Y images are not numbered */
    g_free(frame);
    const guint number = (guint)GST_BUFFER_OFFSET(buffer);
    if (frame_width && self->have_number && number != self->last_number + 1)
      GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    self->have_number = TRUE;
    self->last_number = number;
    GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer) = pts;
    if (GST_CLOCK_TIME_IS_VALID(pts)) self->last_pts = pts;
    *out = buffer;
    return GST_FLOW_OK;
  }
}

static void gst_kestal_src_set_property(GObject* object, guint id, const GValue* value,
                                        GParamSpec* param) {
  GstKestalSrc* self = GST_KESTAL_SRC(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_TRANSPORT: self->transport = g_value_get_enum(value); break;
    case PROP_HOST:
      g_free(self->host);
      self->host = g_value_dup_string(value);
      break;
    case PROP_PORT: self->port = g_value_get_uint(value); break;
    case PROP_DISK:
      g_free(self->disk);
      self->disk = g_value_dup_string(value);
      break;
    case PROP_KIND: self->kind = g_value_get_enum(value); break;
    case PROP_START_SCAN: self->start_scan = g_value_get_boolean(value); break;
    case PROP_FRAME_QUEUE: self->frame_queue = g_value_get_uint(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_kestal_src_get_property(GObject* object, guint id, GValue* value,
                                        GParamSpec* param) {
  GstKestalSrc* self = GST_KESTAL_SRC(object);
  if (id == PROP_DROPPED) {
    g_mutex_lock(&self->lock);
    g_value_set_uint64(value, self->dropped);
    g_mutex_unlock(&self->lock);
    return;
  }
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_TRANSPORT: g_value_set_enum(value, self->transport); break;
    case PROP_HOST: g_value_set_string(value, self->host); break;
    case PROP_PORT: g_value_set_uint(value, self->port); break;
    case PROP_DISK: g_value_set_string(value, self->disk); break;
    case PROP_KIND: g_value_set_enum(value, self->kind); break;
    case PROP_START_SCAN: g_value_set_boolean(value, self->start_scan); break;
    case PROP_FRAME_QUEUE: g_value_set_uint(value, self->frame_queue); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_kestal_src_finalize(GObject* object) {
  GstKestalSrc* self = GST_KESTAL_SRC(object);
  g_free(self->host);
  g_free(self->disk);
  g_mutex_clear(&self->lock);
  g_cond_clear(&self->cond);
  G_OBJECT_CLASS(gst_kestal_src_parent_class)->finalize(object);
}

static void gst_kestal_src_init(GstKestalSrc* self) {
  self->transport = KESTAL_COMM_NETWORK;
  self->kind = KIND_ORIGINAL;
  self->start_scan = TRUE;
  self->frame_queue = DEFAULT_FRAME_QUEUE;
  g_mutex_init(&self->lock);
  g_cond_init(&self->cond);
  g_queue_init(&self->frames);
  self->period = self->latency = DEFAULT_PERIOD;
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void gst_kestal_src_class_init(GstKestalSrcClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
  object_class->set_property = gst_kestal_src_set_property;
  object_class->get_property = gst_kestal_src_get_property;
  object_class->finalize = gst_kestal_src_finalize;

  const GParamFlags flags = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;
  g_object_class_install_property(
      object_class, PROP_TRANSPORT,
      g_param_spec_enum("transport", "Transport",
                        "How to reach the device: TCP to its first or second endpoint, or its disk",
                        gst_kestal_transport_get_type(), KESTAL_COMM_NETWORK, flags));
  g_object_class_install_property(
      object_class, PROP_HOST,
      g_param_spec_string("host", "Host",
                          "The device's address or host name (network transports; required)", NULL,
                          flags));
  g_object_class_install_property(
      object_class, PROP_PORT,
      g_param_spec_uint("port", "Port",
                        "The device's TCP port; 0: 28992 (network) or 29372 (network-alt)", 0,
                        65535, 0, flags));
  g_object_class_install_property(
      object_class, PROP_DISK,
      g_param_spec_string("disk", "Disk",
                          "Storage transport: the device's disk or a disk image file; unset: "
                          "the device's disk is searched for",
                          NULL, flags));
  g_object_class_install_property(
      object_class, PROP_KIND,
      g_param_spec_enum("kind", "Image kind",
                        "Which frames to emit; original and y-original also order the device "
                        "into that mode",
                        gst_kestal_kind_get_type(), KIND_ORIGINAL, flags));
  g_object_class_install_property(
      object_class, PROP_START_SCAN,
      g_param_spec_boolean("start-scan", "Start scan",
                           "Order the device to scan on start (and after each reconnection) and "
                           "to stop scanning on stop",
                           TRUE, flags));
  g_object_class_install_property(
      object_class, PROP_FRAME_QUEUE,
      g_param_spec_uint("frame-queue", "Frame queue",
                        "Frames kept while downstream is slow; the oldest is dropped beyond", 1,
                        1024, DEFAULT_FRAME_QUEUE, flags));
  dropped_param =
      g_param_spec_uint64("dropped", "Dropped frames",
                          "Frames received and not pushed since start: the oldest of a full "
                          "queue, frames that came while not playing, frames of no image size",
                          0, G_MAXUINT64, 0, G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(object_class, PROP_DROPPED, dropped_param);

  gst_element_class_set_static_metadata(
      element_class, "Kestal scan head source", "Source/Video",
      "Image frames of the Kestal scan head over TCP or its mailbox disk",
      "KestalHostComm developers");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  base_class->start = gst_kestal_src_start;
  base_class->stop = gst_kestal_src_stop;
  base_class->unlock = gst_kestal_src_unlock;
  base_class->unlock_stop = gst_kestal_src_unlock_stop;
  base_class->negotiate = gst_kestal_src_negotiate;
  base_class->query = gst_kestal_src_query;
  GST_PUSH_SRC_CLASS(klass)->create = gst_kestal_src_create;
}

static gboolean plugin_init(GstPlugin* plugin) {
  GST_DEBUG_CATEGORY_INIT(kestal_src_debug, "kestalsrc", 0, "Kestal scan head source");
  return gst_element_register(plugin, "kestalsrc", GST_RANK_NONE, GST_TYPE_KESTAL_SRC);
}

/* The plugin's descriptor leaves GStreamer's reserved fields to zero. */
#define PACKAGE "kestalhostcomm"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kestal,
                  "The Kestal scan head's image frames", plugin_init, KESTAL_VERSION_STRING,
                  "Proprietary", "KestalHostComm", "https://localhost/kestalhostcomm")
