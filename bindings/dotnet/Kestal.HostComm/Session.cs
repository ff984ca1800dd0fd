using System;
using System.Collections.Concurrent;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Kestal.HostComm
{
    /// <summary>
    /// The library's service on one transport, with .NET events for what the device reports.
    /// </summary>
    /// <remarks>
    /// <para>Each Session is a service of the library's own (its threads, sequence numbers, counters,
    /// last error and log file), so several Sessions may run at once, one per device. Subscribe to the
    /// events, then start the session on a transport; <see cref="Dispose"/> stops it. Two running
    /// Sessions cannot share an <see cref="ArmPort"/> or a disk.</para>
    /// <para>Threads: every event is raised on a thread of the library, never on the thread that
    /// called a Start method (except the first events, which that call may raise itself).
    /// <see cref="Message"/> and <see cref="Frame"/> come one at a time, in order, from the one
    /// receive thread: a slow handler delays the later ones and costs frames (the oldest waiting
    /// frame is dropped and counted in <see cref="Health.ImageFramesDropped"/>), never the link.
    /// <see cref="ScannerState"/>, <see cref="ArmState"/> and <see cref="StatusLine"/> come once a
    /// second from the library's report worker, <see cref="DeviceEvent"/> from whichever thread
    /// reports. Handlers must return promptly; they must not start, stop or dispose a session, theirs
    /// or another (that throws <see cref="InvalidOperationException"/>). A handler of Message or Frame may call
    /// <see cref="Request"/>: the library matches the ACK on the thread that reads the link.</para>
    /// <para>An exception thrown by a handler never reaches the library: it is counted in
    /// <see cref="HandlerFailureCount"/> and raised as <see cref="HandlerFailed"/> on the same
    /// thread (without a HandlerFailed handler, the first one is written to standard error).</para>
    /// <para>Once <see cref="Stop"/> or <see cref="Dispose"/> returned, no handler is called. Stop waits
    /// for the handlers that are running; one still running two seconds into the stop is left to
    /// finish on its own thread (the library logs its name).</para>
    /// </remarks>
    public sealed class Session : IDisposable
    {
        /// <summary>How long <see cref="Request"/> waits for an ACK unless told otherwise: 3 s.</summary>
        public static readonly TimeSpan DefaultRequestTimeout = TimeSpan.FromSeconds(3);

        /// <summary>The arm relay's local UDP port unless told otherwise: 26000.</summary>
        public const int DefaultArmPort = 26000;

        // The started Sessions, stopped when the process exits.
        private static readonly ConcurrentDictionary<Session, bool> Running = new ConcurrentDictionary<Session, bool>();
        // The callbacks' user data is an id into this table rather than a pointer to the Session: a
        // late call after Dispose finds nothing instead of a freed handle.
        private static readonly ConcurrentDictionary<long, Session> ById = new ConcurrentDictionary<long, Session>();
        private static long lastId;
        [ThreadStatic] private static bool inHandler;

        // The functions handed to the library. Static fields keep them reachable for the life of
        // the process, so the library can never call a collected delegate, whatever it does after
        // they are unregistered.
        private static readonly Native.EventDetailFn EventDetailCallback = OnEventDetail;
        private static readonly Native.MessageFn MessageCallback = OnMessage;
        private static readonly Native.StateFn ScannerStateCallback = OnScannerState;
        private static readonly Native.StateFn ArmStateCallback = OnArmState;
        private static readonly Native.TextFn StatusLineCallback = OnStatusLine;
        private static readonly Native.FrameFn FrameCallback = OnFrame;

        // Not disposed: a handler the library gave up waiting for at Stop may still set it.
        private readonly ManualResetEvent connected = new ManualResetEvent(false);
        private readonly object lifecycle = new object();
        private readonly long id = Interlocked.Increment(ref lastId);
        private volatile IntPtr native;                  // the library's session, kept from a start to the next one that needs other settings
        private Native.SessionConfig settings;  // what it was opened with
        private volatile bool started;          // the callbacks reach the handlers only while set
        private int handlerFailures;
        private volatile bool disposed;
        private int armPort = DefaultArmPort;
        // Whether this start's device sent a controller status yet. The library keeps the last
        // status across Stop and Start and reports it for up to 3 s: until the new device's first
        // one, its states are no status and its status line is not passed on.
        private volatile bool statusSeen;

        static Session()
        {
            // No library thread may call into the runtime while it shuts down.
            AppDomain.CurrentDomain.ProcessExit += (sender, args) =>
            {
                if (inHandler) return;
                foreach (Session session in Running.Keys) session.Stop();
            };
        }

        /// <summary>A session that is not started yet; start it with a Start method.</summary>
        public Session()
        {
        }

        /// <summary>The local UDP port of the arm relay (1 to 65535), or 0 for no arm relay; <see cref="DefaultArmPort"/> unless set. Read at the next start.</summary>
        /// <exception cref="ArgumentOutOfRangeException">Not 0 to 65535.</exception>
        public int ArmPort
        {
            get { return armPort; }
            set
            {
                if (value < 0 || value > 65535) throw new ArgumentOutOfRangeException(nameof(value), value, "A UDP port is 1 to 65535, or 0 for none.");
                armPort = value;
            }
        }

        /// <summary>True: after a reconnect the library sends <see cref="OrderType.StartScan"/> again when the application's last scan order was a start. False (the default): the application sends it again itself. Read at the next start.</summary>
        public bool ResumeScan { get; set; }

        /// <summary>A device event: connecting, connected, a failure with its reason, ...</summary>
        public event EventHandler<DeviceEventArgs> DeviceEvent;

        /// <summary>The scan head's state, once a second.</summary>
        public event EventHandler<StateEventArgs> ScannerState;

        /// <summary>The arm's state, once a second.</summary>
        public event EventHandler<StateEventArgs> ArmState;

        /// <summary>The status line, once a second.</summary>
        public event EventHandler<StatusLineEventArgs> StatusLine;

        /// <summary>Every message from the device (order ACKs, controller status, whole image frames, ...).</summary>
        public event EventHandler<MessageEventArgs> Message;

        /// <summary>Every complete image frame, with its size and time.</summary>
        public event EventHandler<FrameEventArgs> Frame;

        /// <summary>A handler of another event threw; raised on the same thread, right after.</summary>
        public event EventHandler<HandlerFailedEventArgs> HandlerFailed;

        /// <summary>The version of the native library loaded, "MAJOR.MINOR.PATCH".</summary>
        public static string Version => Native.Utf8(Native.kestal_version());

        /// <summary>The reason of the library's last reported failure outside a session ("" when nothing failed yet): a call this thread made that the library refused, or the process-wide service's; see <see cref="LastSessionError"/> for a session's.</summary>
        public static string LastError => ReadError(Native.kestal_last_error);

        private static string ReadError(Func<byte[], uint, int> read)
        {
            var buffer = new byte[256];
            for (int attempt = 0; ; attempt++)
            {
                int length = read(buffer, (uint)buffer.Length);
                // Cut to the buffer: read again with room for it, a bounded number of times (another
                // thread may report a longer reason meanwhile).
                if (length < buffer.Length || attempt == 2)
                    return Encoding.UTF8.GetString(buffer, 0, Math.Max(0, Math.Min(length, buffer.Length - 1)));
                buffer = new byte[length + 64];
            }
        }

        /// <summary>The counters of the library's process-wide service, which Sessions do not use; see <see cref="Health"/> for a session's.</summary>
        public static Health GetHealth()
        {
            Health health;
            Native.kestal_get_health(out health);
            return health;
        }

        /// <summary>This session's link counters since its last start (all 0 before the first).</summary>
        public Health Health
        {
            get
            {
                Health health = default(Health);
                IntPtr s = native;
                if (s != IntPtr.Zero) Native.kestal_session_get_health(s, out health);
                return health;
            }
        }

        /// <summary>The reason of this session's last reported failure ("" when nothing failed yet, or before the first start).</summary>
        public string LastSessionError
        {
            get
            {
                IntPtr s = native;
                return s == IntPtr.Zero ? "" : ReadError((buffer, length) => Native.kestal_session_last_error(s, buffer, length));
            }
        }

        /// <summary>True from a Start call (whether or not the link came up at once) until <see cref="Stop"/>.</summary>
        public bool IsStarted => started;

        /// <summary>Exceptions thrown by this session's handlers (HandlerFailed's included) since it started.</summary>
        public int HandlerFailureCount => Volatile.Read(ref handlerFailures);

        /// <summary>Starts the session over TCP to the first device endpoint at <paramref name="host"/>:<paramref name="port"/>.</summary>
        /// <returns>True when everything started; false when the link or the arm link could not start yet (the library keeps trying).</returns>
        /// <exception cref="ArgumentException">The library refused the address.</exception>
        /// <exception cref="InvalidOperationException">Already started, or called from a handler.</exception>
        /// <exception cref="KestalException">Another running Session owns the arm port (<see cref="ErrorCode.Invalid"/>).</exception>
        public bool StartNetwork(string host, int port) => StartNetwork(Transport.Network, host, port);

        /// <summary>Starts the session over TCP to the second device endpoint at <paramref name="host"/>:<paramref name="port"/>.</summary>
        /// <returns>As <see cref="StartNetwork(string, int)"/>.</returns>
        /// <exception cref="ArgumentException">The library refused the address.</exception>
        /// <exception cref="InvalidOperationException">Already started, or called from a handler.</exception>
        /// <exception cref="KestalException">As <see cref="StartNetwork(string, int)"/>.</exception>
        public bool StartNetworkAlt(string host, int port) => StartNetwork(Transport.NetworkAlt, host, port);

        /// <summary>Starts the session over the device's mailbox disk.</summary>
        /// <param name="diskPath">A disk ("/dev/sdc", @"\\.\PHYSICALDRIVE2") or disk image file; null to search the disks.</param>
        /// <returns>True when everything started; false when the disk or the arm link could not be opened yet (the library keeps trying).</returns>
        /// <exception cref="ArgumentException">The library refused the path.</exception>
        /// <exception cref="InvalidOperationException">Already started, or called from a handler.</exception>
        /// <exception cref="KestalException">Another running Session owns the disk or the arm port (<see cref="ErrorCode.Invalid"/>).</exception>
        public bool StartStorage(string diskPath = null) =>
            Start(Transport.Storage, null, 0, diskPath, () => new ArgumentException("The library refused the disk path: " + LastError, nameof(diskPath)));

        private bool StartNetwork(Transport transport, string host, int port)
        {
            // The binding never dials the library's built-in device address: the caller names it.
            if (string.IsNullOrEmpty(host)) throw new ArgumentException("A device host is needed.", nameof(host));
            if (port < 1 || port > 65535) throw new ArgumentOutOfRangeException(nameof(port), port, "A TCP port is 1 to 65535.");
            return Start(transport, host, port, null, () => new ArgumentException("The library refused the device address " + host + ":" + port + ".", nameof(host)));
        }

        private bool Start(Transport transport, string host, int port, string disk, Func<ArgumentException> refused)
        {
            RefuseInHandler("Start");
            lock (lifecycle)
            {
                if (disposed) throw new ObjectDisposedException(nameof(Session));
                if (started) throw new InvalidOperationException("This Session is already started.");
                var config = new Native.SessionConfig { Size = (uint)Marshal.SizeOf(typeof(Native.SessionConfig)), CommType = (int)transport,
                                                        Host = host, Port = (ushort)port, Disk = disk, ArmPort = (ushort)armPort,
                                                        ResumeScan = ResumeScan ? 1 : 0 };
                Open(config, refused);
                connected.Reset();
                statusSeen = false;
                Volatile.Write(ref handlerFailures, 0);
                started = true;
                Running[this] = true;
                int result = Native.kestal_session_start(native);
                if (result == (int)ErrorCode.Invalid)
                {
                    Running.TryRemove(this, out _);
                    started = false;
                    throw new KestalException(ErrorCode.Invalid, "the library refused to start the session: " + LastSessionError);
                }
                return result == 0;
            }
        }

        // The library's session for these settings: the one of the last start when they are the
        // same (its sequence numbers and log file go on), else a new one in its place.
        private void Open(Native.SessionConfig config, Func<ArgumentException> refused)
        {
            if (native != IntPtr.Zero && config.CommType == settings.CommType && config.Host == settings.Host && config.Port == settings.Port &&
                config.Disk == settings.Disk && config.ArmPort == settings.ArmPort && config.ResumeScan == settings.ResumeScan)
                return;
            Close();
            IntPtr opened;
            if (Native.kestal_session_open(ref config, out opened) != 0) throw refused();
            ById[id] = this;
            var user = new IntPtr(id);
            Native.kestal_session_set_event_detail_callback(opened, EventDetailCallback, user);
            Native.kestal_session_set_message_callback(opened, MessageCallback, user);
            Native.kestal_session_set_scanner_state_callback(opened, ScannerStateCallback, user);
            Native.kestal_session_set_arm_state_callback(opened, ArmStateCallback, user);
            Native.kestal_session_set_status_line_utf8_callback(opened, StatusLineCallback, user);
            Native.kestal_session_set_frame_callback(opened, FrameCallback, user);
            settings = config;
            native = opened;
        }

        // Closes the library's session (stopped already); its handle stays recognisably closed, so a
        // call racing with this one is refused, never a crash.
        private void Close()
        {
            if (native == IntPtr.Zero) return;
            Native.kestal_session_close(native);
            native = IntPtr.Zero;
        }

        /// <summary>Stops the session (takes at least a second); no handler is called once it returned. Does nothing when not started.</summary>
        /// <exception cref="InvalidOperationException">Called from a handler.</exception>
        public void Stop()
        {
            RefuseInHandler("Stop");
            lock (lifecycle)
            {
                if (!started) return;
                try
                {
                    Native.kestal_session_stop(native);
                }
                finally
                {
                    started = false;
                    Running.TryRemove(this, out _);
                    connected.Reset();
                }
            }
        }

        /// <summary>Stops the session and closes the library's session with its threads and log file.</summary>
        /// <exception cref="InvalidOperationException">Called from a handler.</exception>
        public void Dispose()
        {
            Stop();
            lock (lifecycle)
            {
                disposed = true;
                Close();
                ById.TryRemove(id, out _);
            }
        }

        /// <summary>Waits until the link is up: "Connected OK" came and its <see cref="DeviceEvent"/> handlers returned, and no loss of the link since.</summary>
        /// <returns>True when it is; false when <paramref name="timeout"/> passed first.</returns>
        public bool WaitConnected(TimeSpan timeout) => connected.WaitOne(timeout) && Connected;

        /// <summary>True while this session runs and the library has its link to the device (kestal_is_connected).</summary>
        public bool Connected => started && Native.kestal_session_is_connected(native) != 0;

        /// <summary>Sends an order with the next sequence number and waits for its ACK.</summary>
        /// <param name="order">The order's sub type.</param>
        /// <param name="parameters">The order's parameters (at most 65000 bytes), or null for none.</param>
        /// <param name="timeout">How long to wait for the ACK; <see cref="DefaultRequestTimeout"/> when null.</param>
        /// <returns>The ACK, whatever its code.</returns>
        /// <exception cref="KestalTimeoutException">No ACK came in time.</exception>
        /// <exception cref="KestalException">No link (<see cref="ErrorCode.NotConnected"/>), stopped meanwhile, or refused; the message gives the library's reason.</exception>
        /// <remarks>Any number of threads may wait at once, each for its own ACK, handlers of <see cref="Message"/> and <see cref="Frame"/> included; the ACK also reaches <see cref="Message"/> afterwards, in arrival order.</remarks>
        public Ack Request(OrderType order, byte[] parameters = null, TimeSpan? timeout = null)
        {
            TimeSpan wait = timeout ?? DefaultRequestTimeout;
            if (wait < TimeSpan.Zero || wait.TotalMilliseconds > uint.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(timeout), wait, "The timeout is 0 to 2^32 - 1 ms.");
            if (disposed) throw new ObjectDisposedException(nameof(Session));
            var ack = new Native.Ack { Reply = new byte[Native.AckReplyMax] };
            IntPtr s = native;
            int result = s == IntPtr.Zero ? (int)ErrorCode.NotConnected
                                          : Native.kestal_session_request(s, (ushort)order, parameters, (uint)(parameters == null ? 0 : parameters.Length),
                                                                          (uint)wait.TotalMilliseconds, ref ack);
            if (result != 0) throw RequestFailure((ErrorCode)result, order, wait);
            return new Ack(ack);
        }

        /// <summary>Sends one message over the link as it is (an order must carry its own sequence number).</summary>
        /// <exception cref="KestalException">The message was not queued or written (<see cref="ErrorCode.SendFailed"/>).</exception>
        public void Send(MessageType type, byte[] data)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            if (disposed) throw new ObjectDisposedException(nameof(Session));
            IntPtr s = native;
            int result = s == IntPtr.Zero ? (int)ErrorCode.NotConnected : Native.kestal_session_send(s, (ushort)type, data, (uint)data.Length);
            if (result != 0)
                throw new KestalException(ErrorCode.SendFailed, string.Format("message of type {0} ({1} bytes) not sent: result {2}", (int)type, data.Length, result));
        }

        /// <summary>Sends a firmware file to the device in chunks; its progress comes back as <see cref="MessageType.UpdateFirmware"/> messages to <see cref="Message"/>.</summary>
        /// <param name="path">The firmware file.</param>
        /// <param name="firmwareType">The firmware's type, 0 to 65535 (1 unless told otherwise).</param>
        /// <exception cref="IOException">The file could not be read.</exception>
        /// <exception cref="KestalException">A chunk was not queued or written (the rest of the file is not sent), or no link was ever started (<see cref="ErrorCode.NotConnected"/>); the code is the library's result.</exception>
        public void UpdateFirmware(string path, int firmwareType = 1)
        {
            if (path == null) throw new ArgumentNullException(nameof(path));
            UpdateFirmware(File.ReadAllBytes(path), firmwareType);
        }

        /// <summary>Sends a firmware file's bytes to the device in chunks, as <see cref="UpdateFirmware(string, int)"/>.</summary>
        /// <exception cref="KestalException">As <see cref="UpdateFirmware(string, int)"/>.</exception>
        public void UpdateFirmware(byte[] data, int firmwareType = 1)
        {
            if (data == null) throw new ArgumentNullException(nameof(data));
            if (firmwareType < 0 || firmwareType > 65535) throw new ArgumentOutOfRangeException(nameof(firmwareType), firmwareType, "A firmware type is 0 to 65535.");
            if (disposed) throw new ObjectDisposedException(nameof(Session));
            IntPtr s = native;
            int result = s == IntPtr.Zero ? (int)ErrorCode.NotConnected : Native.kestal_session_update_firmware(s, (ushort)firmwareType, data, (uint)data.Length);
            if (result != 0)
            {
                var code = Enum.IsDefined(typeof(ErrorCode), result) ? (ErrorCode)result : ErrorCode.SendFailed;
                throw new KestalException(code, string.Format("firmware of type {0} ({1} bytes) not sent: {2}", firmwareType, data.Length, Native.Utf8(Native.kestal_error_name(result))));
            }
        }

        // A connection failing on another thread may replace the request's reason before it is
        // read: then the same words are made here from the code.
        private KestalException RequestFailure(ErrorCode code, OrderType order, TimeSpan timeout)
        {
            string prefix = "request " + (int)order + ": ", reason = LastSessionError;
            if (!reason.StartsWith(prefix, StringComparison.Ordinal))
            {
                switch (code)
                {
                    case ErrorCode.NotConnected: reason = "not connected"; break;
                    case ErrorCode.Timeout: reason = "no ACK within " + (uint)timeout.TotalMilliseconds + " ms"; break;
                    case ErrorCode.SendFailed: reason = "the link refused the order"; break;
                    case ErrorCode.Stopped: reason = "the library stopped before its ACK came"; break;
                    case ErrorCode.InCallback: reason = "called on the receive thread, which its ACK needs"; break;
                    default: reason = "failed with " + code; break;
                }
                reason = prefix + reason;
            }
            return code == ErrorCode.Timeout ? new KestalTimeoutException(reason) : new KestalException(code, reason);
        }

        private static void RefuseInHandler(string what)
        {
            if (inHandler)
                throw new InvalidOperationException(what + " cannot be called from a Session event handler: it waits for the library's threads, one of which runs the handler.");
        }

        // The library's callbacks, on its threads. Nothing thrown may unwind into native code:
        // everything that can throw runs inside Raise.

        // The started Session that `userData` names, or null (stopped, disposed).
        private static Session Of(IntPtr userData)
        {
            Session session;
            return ById.TryGetValue(userData.ToInt64(), out session) && session.started ? session : null;
        }

        private static void OnEventDetail(int evt, IntPtr text, IntPtr detail, IntPtr userData)
        {
            Session session = Of(userData);
            if (session == null) return;
            var kind = (DeviceEvent)evt;
            // Down before the handlers hear of a loss, up once they heard of the link.
            if (kind != HostComm.DeviceEvent.ConnectedOk && kind != HostComm.DeviceEvent.DeviceArrival) session.connected.Reset();
            EventHandler<DeviceEventArgs> handler = session.DeviceEvent;
            if (handler != null)
                session.Raise("DeviceEvent", () => handler(session, new DeviceEventArgs(kind, Native.Utf8(text), Native.Utf8(detail))));
            if (kind == HostComm.DeviceEvent.ConnectedOk) session.connected.Set();
        }

        private static void OnMessage(ushort type, IntPtr data, uint len, IntPtr userData)
        {
            Session session = Of(userData);
            if (session != null && type == (ushort)MessageType.ControllerStatus) session.statusSeen = true;
            EventHandler<MessageEventArgs> handler = session == null ? null : session.Message;
            if (handler != null)
                session.Raise("Message", () => handler(session, new MessageEventArgs((MessageType)type, Native.Copy(data, len))));
        }

        private static void OnFrame(ref Native.Frame frame, IntPtr userData)
        {
            Session session = Of(userData);
            EventHandler<FrameEventArgs> handler = session == null ? null : session.Frame;
            Native.Frame copy = frame;  // its pointers stay valid until this returns
            if (handler != null) session.Raise("Frame", () => handler(session, new FrameEventArgs(copy)));
        }

        private static void OnScannerState(ushort state, IntPtr userData)
        {
            Session session = Of(userData);
            EventHandler<StateEventArgs> handler = session == null ? null : session.ScannerState;
            if (handler != null) session.Raise("ScannerState", () => handler(session, new StateEventArgs(session.Current(state))));
        }

        private static void OnArmState(ushort state, IntPtr userData)
        {
            Session session = Of(userData);
            EventHandler<StateEventArgs> handler = session == null ? null : session.ArmState;
            if (handler != null) session.Raise("ArmState", () => handler(session, new StateEventArgs(session.Current(state))));
        }

        private static void OnStatusLine(IntPtr text, IntPtr userData)
        {
            Session session = Of(userData);
            EventHandler<StatusLineEventArgs> handler = session == null || !session.statusSeen ? null : session.StatusLine;
            if (handler != null) session.Raise("StatusLine", () => handler(session, new StatusLineEventArgs(Native.Utf8(text))));
        }

        private State Current(ushort state) => statusSeen ? (State)state : State.NoStatus;

        private void Raise(string eventName, Action call)
        {
            bool outer = inHandler;
            inHandler = true;
            try
            {
                call();
            }
            catch (Exception exception)
            {
                HandlerThrew(eventName, exception);
            }
            finally
            {
                inHandler = outer;
            }
        }

        private void HandlerThrew(string eventName, Exception exception)
        {
            bool first = Interlocked.Increment(ref handlerFailures) == 1;
            EventHandler<HandlerFailedEventArgs> failed = HandlerFailed;
            try
            {
                if (failed != null) failed(this, new HandlerFailedEventArgs(eventName, exception));
                else if (first) Console.Error.WriteLine("Kestal.HostComm: a " + eventName + " handler threw (later ones are only counted): " + exception);
            }
            catch (Exception)
            {
                Interlocked.Increment(ref handlerFailures);  // counted, never rethrown into the library
            }
        }
    }
}
