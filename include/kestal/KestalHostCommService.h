/// \file
/// KestalHostComm: the host-side link to the scan head's controller.
///
/// A host application takes the one service with GetInstance(), registers its callbacks,
/// chooses a transport with SetCommType() and calls Start(). Callbacks run on library threads:
///  - the receive callback on the engine's receive worker ("kestal-recv"), over either transport,
///    one message at a time in arrival order, the data pointer valid only during the call; the
///    link is read, ACKs matched and frames assembled on other threads, so a slow callback never
///    holds up the link: it costs image frames (the oldest waiting one is dropped and counted in
///    image_frames_dropped), and a request or firmware update may be made from it;
///  - the scanner-status, arm-status and log callbacks on the log-report worker, once a second;
///  - the device-event callback on one thread at a time, in the order the events were raised,
///    never with a lock of the library held.
///
/// Callbacks must return promptly. Start() and Stop() called from a callback return -1 at once.
/// Messages and events go on arriving during the first second of Stop(); then no callback starts,
/// and one still running two seconds later is given up (see README).
/// Start() and Stop() are called from one application thread at a time, in turn.
#pragma once

// KESTAL_STATIC: the program links the library's static core (its own tools and tests).
#if defined(_WIN32) && defined(KESTAL_STATIC)
#define KESTAL_API
#elif defined(_WIN32)
#if defined(KESTAL_BUILDING_LIBRARY)
#define KESTAL_API __declspec(dllexport)
#else
#define KESTAL_API __declspec(dllimport)
#endif
#else
#define KESTAL_API __attribute__((visibility("default")))
#endif

/// Transport selector.
enum HostCommDeviceType : int {
  HostCommDeviceStorage = 0,     ///< the device's 50 MiB disk used as a mailbox
  HostCommDeviceNetwork = 1,     ///< TCP, first device endpoint (192.168.66.1:28992)
  HostCommDeviceNetworkAlt = 2,  ///< TCP, second device endpoint (192.168.60.1:29372)
};

/// Events passed to the device-event callback, each with a fixed text.
enum HostCommDeviceEvent : int {
  DeviceArrival = 0,   ///< "Device arrival"
  DeviceLeft = 1,      ///< "Device left"
  ConnectedError = 2,  ///< "Connected Error"
  ConnectedOk = 3,     ///< "Connected OK"
  Connecting = 4,      ///< "Connecting..."
  NotConnected = 5,    ///< "Not connected"
  CommError = 6,       ///< "Comm Error"
};

/// Status codes taken by ReportStatus.
enum HostCommStatus : unsigned int {
  HostCommStatusNotConnected = 0,
  HostCommStatusConnecting = 1,
  HostCommStatusStorageConnectError = 2,
  HostCommStatusStorageConnected = 3,
  HostCommStatusNetworkConnectError = 4,
  HostCommStatusNetworkConnected = 5,
  HostCommStatusStorageCommError = 6,
  HostCommStatusCommError = 7,
  HostCommStatusDeviceArrival = 8,
  HostCommStatusDeviceLeft = 9,
};

class KESTAL_API KestalHostCommService {
 public:
  using DeviceEventCallBack = void (*)(HostCommDeviceEvent event, const char* text,
                                       void* user_data);
  using LogCallBack = void (*)(const char* text, void* user_data);
  using RecvHostCommMsgCallBack = void (*)(unsigned short type, unsigned char* data,
                                           unsigned int len, void* user_data);
  using StatusCallBack = void (*)(unsigned short state, void* user_data);

  static KestalHostCommService& GetInstance();
  ~KestalHostCommService();
  KestalHostCommService(const KestalHostCommService&) = delete;
  KestalHostCommService& operator=(const KestalHostCommService&) = delete;

  /// 0 when everything started; -1 when the arm link or the engine failed, or from a callback
  /// (see README).
  int Start();
  /// 0, taking at least one second; -1 at once from a callback.
  int Stop();

  void SetCommType(HostCommDeviceType type);
  void SetDeviceEventCallBack(DeviceEventCallBack callback, void* user_data);
  /// Receives only the once-a-second status line (code page 936 bytes), never log lines.
  void SetLogCallBack(LogCallBack callback, void* user_data);
  void SetRecvHostCommMsgCallBack(RecvHostCommMsgCallBack callback, void* user_data);
  void SetScanerStatusCallBack(StatusCallBack callback, void* user_data);
  void SetArmStatusCallBack(StatusCallBack callback, void* user_data);

  /// Sends one message (type and payload) to the device over the active transport. 0 when
  /// queued or written, negative otherwise; -1 (nothing sent) for null `data` with a length.
  int SendHostCommMsg(unsigned short type, unsigned char* data, unsigned int len);
  /// Sends a whole firmware file in chunks (progress comes back as type-9 ACKs). 0 when every
  /// chunk was queued or written; negative when one was not (the rest of the file is not sent).
  /// Each chunk waits for room in the link while the link is up, at most 5 s. -1 (nothing sent)
  /// for null `data` with a length. Any thread, the receive callback included.
  int SendUpdateFirmware(unsigned short type, unsigned char* data, unsigned int len);
  /// Delivers a message to the registered receive callback.
  void RecvHostCommMsg(unsigned short type, unsigned char* data, unsigned int len);
  /// Reports a connection state or device event (HostCommStatus); values above 9 are ignored.
  void ReportStatus(unsigned int status, const char* text);
  /// Next value of the library-wide 16-bit message sequence counter (the first is 1).
  unsigned short GetMsgSeqNo();
  /// Writes the storage mailbox's summary areas to "volume<UTC+8 time>_<type>.txt".
  void PrintVolumeRunInfo();

  /// The engine's receive callback: passes a device message on to the application.
  static void ForwardHostCommMsg(unsigned short type, unsigned char* data, unsigned int len,
                                 void* user_data);

  /// The service's state, workers and parts (engine, arm link); the library's own. Made by the
  /// constructor and never destroyed: a host that returns from main without Stop leaves threads
  /// that process exit may kill while they use it, so no static destructor may touch it.
  class Impl;

 private:
  KestalHostCommService();

  static KestalHostCommService m_instance;
  Impl* m_impl;
};
