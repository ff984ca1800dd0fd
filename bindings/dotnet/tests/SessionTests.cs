// The .NET binding against kestal-devsim on 127.0.0.1, one case per method:
//   mono KestalHostComm.Tests.exe DEVSIM            every case but the sample's
//   mono KestalHostComm.Tests.exe DEVSIM GRAB_EXE   the Grab sample as a program
// Each case has a simulator and a Session of its own; the library writes its log into a
// temporary folder (kept with KESTAL_KEEP_TEST_DIR=1).
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Kestal.HostComm;

internal static class SessionTests
{
    private static string devsim, grab;
    private static readonly List<Process> Sims = new List<Process>();
    private static Session session;  // the case's last one; all it opened are disposed after it
    private static readonly List<Session> Opened = new List<Session>();
    private static readonly TimeSpan Ten = TimeSpan.FromSeconds(10);
    // The state texts of the status line, by state code, and its layout.
    private static readonly string[] StateNames = { "工作正常", "设备未找到", "打开失败", "IO错误", "设备插入", "设备拔出", "设备通讯超时", "无效" };

    private static int Main(string[] args)
    {
        devsim = Path.GetFullPath(args[0]);
        grab = args.Length > 1 ? Path.GetFullPath(args[1]) : null;
        string dir = Path.Combine(Path.GetTempPath(), "kestal-dotnet-" + Process.GetCurrentProcess().Id);
        Directory.SetCurrentDirectory(Directory.CreateDirectory(dir).FullName);
        Action[] cases = grab != null ? new Action[] { GrabSampleSavesFivePgms } : new Action[] {
            NamesAgreeWithTheLibrary, TwoSessionsAtOnce, RequestsOnEveryTransport, RequestsDecodeTheirAcks, RefusedWithoutLink, TimesOutWithoutAck,
            FramesMatchTheGenerator, StatusLineStatesAndFailingHandlers, DisposeWhileHandlersRun };
        int passed = 0, failed = 0;
        foreach (Action test in cases)
        {
            try
            {
                test();
                passed++;
                Console.WriteLine("PASS " + test.Method.Name);
            }
            catch (Exception e)
            {
                failed++;
                Console.WriteLine("FAIL " + test.Method.Name + ": " + e);
            }
            finally
            {
                foreach (Session opened in Opened) opened.Dispose();
                Opened.Clear();
                session = null;
                foreach (Process sim in Sims) { sim.Kill(); sim.WaitForExit(10000); }
                Sims.Clear();
            }
        }
        Directory.SetCurrentDirectory(Path.GetTempPath());
        if (Environment.GetEnvironmentVariable("KESTAL_KEEP_TEST_DIR") != "1") Directory.Delete(dir, true);
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    private static void Check(bool ok, string what, params object[] values)
    {
        if (!ok) throw new Exception(string.Format(what, values));
    }

    // Every type and sub type the library names is in the enums under that name (in CamelCase), and no other.
    private static void NamesAgreeWithTheLibrary()
    {
        Func<string, string> camel = name => string.Concat(name.Split(new[] { '_' }, StringSplitOptions.RemoveEmptyEntries).Select(w => w.Substring(0, 1) + w.Substring(1).ToLowerInvariant()));
        for (int v = 0; v < 256; v++)
        {
            string msg = ProtocolNames.Of((MessageType)v), order = ProtocolNames.Of((OrderType)v);
            Check((Enum.GetName(typeof(MessageType), (ushort)v) ?? "") == camel(msg), "message type {0}: {1}", v, msg);
            Check((Enum.GetName(typeof(OrderType), (ushort)v) ?? "") == camel(order), "order {0}: {1}", v, order);
        }
    }

    private static bool WaitUntil(Func<bool> predicate, double seconds = 5)
    {
        var clock = Stopwatch.StartNew();
        while (!predicate() && clock.Elapsed.TotalSeconds < seconds) Thread.Sleep(10);
        return predicate();
    }

    private static T Throws<T>(Action action) where T : Exception
    {
        try { action(); }
        catch (T e) { return e; }
        throw new Exception("no " + typeof(T).Name);
    }

    // Starts kestal-devsim on 127.0.0.1 and a free port (or on a mailbox disk image); returns the port (0 for the disk).
    private static int Sim(params string[] options)
    {
        var sim = Process.Start(new ProcessStartInfo(devsim, "--listen 127.0.0.1 --port 0 --quiet --duration-s 120 " + string.Join(" ", options))
                                { UseShellExecute = false, RedirectStandardOutput = true });
        Sims.Add(sim);
        var line = sim.StandardOutput.ReadLineAsync();
        Check(line.Wait(10000), "kestal-devsim said nothing within 10 s");
        Match port = Regex.Match(line.Result ?? "", @"^kestal-devsim: (listening on 127\.0\.0\.1:(\d+)|serving the mailbox on .+)$");
        Check(port.Success, "kestal-devsim's first line: {0}", line.Result);
        return port.Groups[2].Success ? int.Parse(port.Groups[2].Value) : 0;
    }

    // A new Session with the case's handlers, started on 127.0.0.1:port (or by `start`).
    private static Session Open(int port, Action<Session> subscribe = null, bool connect = true, Func<Session, bool> start = null)
    {
        session = new Session();
        Opened.Add(session);
        if (subscribe != null) subscribe(session);
        (start ?? (s => s.StartNetwork("127.0.0.1", port)))(session);
        Check(!connect || session.WaitConnected(Ten), "no Connected OK within 10 s: {0}", session.LastSessionError);
        Check(session.Connected == connect, "Connected is {0}", session.Connected);
        return session;
    }

    // Two devices of different image sizes, a Session each (the second without an arm relay, whose
    // port the first owns): frames and firmware progress reach only their own handlers, a request
    // works on each, and stopping one leaves the other streaming.
    private static void TwoSessionsAtOnce()
    {
        var events = new List<DeviceEventArgs>();
        int[] sizes = { 5000, 7000 }, firmwareAcks = new int[2];
        var frames = new[] { new List<int>(), new List<int>() };  // pixel bytes of each frame
        Session[] two = sizes.Select((size, i) => Open(Sim("--image-size", size.ToString(), "--fps", "30"), s =>
        {
            s.ArmPort = i == 0 ? Session.DefaultArmPort : 0;
            s.DeviceEvent += (o, e) => { if (i == 0) lock (events) events.Add(e); };
            s.Frame += (o, e) => { lock (frames) frames[i].Add(e.Pixels.Length); };
            s.Message += (o, e) => { if (e.Type == MessageType.UpdateFirmware) Interlocked.Increment(ref firmwareAcks[i]); };
        })).ToArray();
        Check(Regex.IsMatch(Session.Version, @"^2\.\d+\.\d+$"), "version {0}", Session.Version);
        lock (events)
            Check(events.Count >= 2 && events.Take(2).Select(e => e.Event + ":" + e.Text + ":" + e.Detail).SequenceEqual(
                      new[] { "Connecting:Connecting...:", "ConnectedOk:Connected OK:" }), "first events {0}", string.Join(", ", events.Select(e => e.Text)));
        Check(Throws<InvalidOperationException>(() => two[0].StartNetwork("127.0.0.1", 9)).Message.Contains("already started"), "second start");
        foreach (Session s in two)
            Check(s.Request(OrderType.StartScan, null, Ten).IsOk && Math.Abs(s.Request(OrderType.FpgaTemp).FpgaTemperatureCelsius() - 25.0) < 1e-9, "requests");
        two[1].UpdateFirmware(new byte[3000]);
        Check(WaitUntil(() => { lock (frames) return frames.All(f => f.Count > 3); }) && WaitUntil(() => Volatile.Read(ref firmwareAcks[1]) > 0),
              "frames {0}, {1}; firmware ACKs {2}", frames[0].Count, frames[1].Count, firmwareAcks[1]);
        two[0].Stop();
        int seen;
        lock (frames) seen = frames[1].Count;
        Check(WaitUntil(() => { lock (frames) return frames[1].Count > seen + 5; }) && two[1].Connected && !two[0].IsStarted, "the second stopped streaming");
        lock (frames)
            Check(frames[0].Distinct().SequenceEqual(new[] { 5000 }) && frames[1].Distinct().SequenceEqual(new[] { 7000 }) && firmwareAcks[0] == 0 &&
                  two[1].Health.ImageFrames >= (ulong)frames[1].Count && two[0].Health.ImageFrames >= (ulong)frames[0].Count,
                  "frame sizes {0} / {1}, firmware ACKs {2}", string.Join(",", frames[0].Distinct()), string.Join(",", frames[1].Distinct()), firmwareAcks[0]);
    }

    private static void RequestsOnEveryTransport()
    {
        var starts = new Func<Session, bool>[] { s => s.StartNetwork("127.0.0.1", Sim()), s => s.StartNetworkAlt("127.0.0.1", Sim()),
                                                 s => Sim("--storage", "mailbox.img", "--create-image") == 0 && s.StartStorage(Path.GetFullPath("mailbox.img")) };
        for (int i = 0; i < starts.Length; i++)
        {
            double celsius = Open(0, null, true, starts[i]).Request(OrderType.FpgaTemp, null, Ten).FpgaTemperatureCelsius();
            Check(Math.Abs(celsius - 25.0) < 1e-9, "{0} C over transport {1}", celsius, i);
            session.Dispose();
        }
    }

    private static void RequestsDecodeTheirAcks()
    {
        var acks = new List<byte[]>();
        Open(Sim(), s => s.Message += (o, e) => { if (e.Type == MessageType.Order) lock (acks) acks.Add(e.Data); });
        session.Send(MessageType.Order, new byte[] { 0x60, 0xEA, 83, 0, 0, 0, 0, 0 });  // seq_no 60000, sub type, no parameters
        Check(WaitUntil(() => { lock (acks) return acks.Any(a => a.Take(4).SequenceEqual(new byte[] { 0x60, 0xEA, 83, 0 })); }), "no ACK of the order sent");
        Ack temperature = session.Request(OrderType.FpgaTemp), info = session.Request(OrderType.StaticInfo);
        SensorMap map = session.Request(OrderType.SensorRegMap, null, TimeSpan.FromSeconds(5)).SensorMap();
        Check(temperature.SubType == OrderType.FpgaTemp && temperature.IsOk && !temperature.Truncated &&
              temperature.Reply.SequenceEqual(BitConverter.GetBytes(6500)), "ACK {0}", temperature);
        Check(Math.Abs(temperature.FpgaTemperatureCelsius() - 25.0) < 1e-9, "{0} C", temperature.FpgaTemperatureCelsius());
        Check(info.SeqNo == temperature.SeqNo + 1 && info.StaticInfo().ToString() == "app 1.2.3.45, fpga 2.0.7.12", "{0}: {1}", info, info.StaticInfo());
        Check(map.RoiHeight == 480 && map.StartRow == 16 && map.Exposure == 10000 && map.Gain == 32, "sensor map {0} {1} {2} {3}", map.RoiHeight, map.StartRow, map.Exposure, map.Gain);
        var tooShort = Throws<KestalException>(() => temperature.SensorMap());
        Check(tooShort.Code == ErrorCode.Invalid && tooShort.Message == "the reply of order 83 (4 bytes) is too short for the sensor map", "{0}", tooShort.Message);
    }

    private static void RefusedWithoutLink()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);  // a port that nothing listens on once stopped
        listener.Start();
        int port = ((IPEndPoint)listener.LocalEndpoint).Port;
        listener.Stop();
        var details = new List<string>();
        Open(port, s => s.DeviceEvent += (o, e) => { if (e.Event == DeviceEvent.ConnectedError) lock (details) details.Add(e.Detail); }, false);
        var refused = Throws<KestalException>(() => session.Request(OrderType.FpgaTemp));
        Check(refused.Code == ErrorCode.NotConnected && !(refused is KestalTimeoutException) && refused.Message == "request 83: not connected",
              "{0}: {1}", refused.Code, refused.Message);
        Check(WaitUntil(() => { lock (details) return details.Contains("connect 127.0.0.1:" + port + ": connection refused"); }),
              "Connected Error details: {0}", string.Join("; ", details));
    }

    private static void TimesOutWithoutAck()
    {
        var silent = new TcpListener(IPAddress.Loopback, 0);  // accepts the link, answers nothing
        silent.Start();
        try
        {
            Open(((IPEndPoint)silent.LocalEndpoint).Port);
            var clock = Stopwatch.StartNew();
            var late = Throws<KestalTimeoutException>(() => session.Request(OrderType.FpgaTemp, new byte[] { 1, 2 }, TimeSpan.FromMilliseconds(300)));
            Check(late.Code == ErrorCode.Timeout && late.Message == "request 83: no ACK within 300 ms", "{0}: {1}", late.Code, late.Message);
            Check(clock.Elapsed.TotalSeconds > 0.25 && clock.Elapsed.TotalSeconds < 5, "waited {0}", clock.Elapsed);
        }
        finally
        {
            silent.Stop();
        }
    }

    // The simulator's frame `number`: SplitMix64 words seeded by a mix of seed, number and type,
    // under the header fields it sets.
    private static ulong Next(ref ulong state)
    {
        ulong z = state += 0x9E3779B97F4A7C15UL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9UL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBUL;
        return z ^ (z >> 31);
    }

    private static byte[] ExpectedFrame(ulong seed, uint number, ushort type, int size)
    {
        ulong mix = seed ^ (number * 0xD6E8FEB86659FD93UL) ^ ((ulong)type << 48), state = Next(ref mix);
        var data = new byte[80 + size];
        for (int i = 0; i < data.Length; i += 8) Array.Copy(BitConverter.GetBytes(Next(ref state)), 0, data, i, Math.Min(8, data.Length - i));
        var fields = new[] { Tuple.Create(0, BitConverter.GetBytes(number)), Tuple.Create(4, BitConverter.GetBytes((uint)type)),
                             Tuple.Create(8, BitConverter.GetBytes(640)), Tuple.Create(12, BitConverter.GetBytes(480)),
                             Tuple.Create(16, BitConverter.GetBytes(seed)), Tuple.Create(76, BitConverter.GetBytes(size)) };
        foreach (var field in fields) field.Item2.CopyTo(data, field.Item1);
        return data;
    }

    private static void FramesMatchTheGenerator()
    {
        var frames = new List<FrameEventArgs>();
        var messages = new List<byte[]>();
        Open(Sim("--fps", "50", "--seed", "7", "--piece-size", "50000"), s =>
        {
            s.Frame += (o, e) => { lock (frames) frames.Add(e); };
            s.Message += (o, e) => { if (e.Type == MessageType.ImagePiece) lock (frames) messages.Add(e.Data); };
        });
        Check(session.Request(OrderType.StartScan).IsOk, "start scan");
        // Collections while frames flow: a delegate the library holds that was collected would crash here.
        Check(WaitUntil(() => { GC.Collect(); GC.WaitForPendingFinalizers(); lock (frames) return frames.Count >= 5; }), "5 frames");
        session.Request(OrderType.StopScan);
        lock (frames)
        {
            for (int i = 0; i < 5; i++)
            {
                FrameEventArgs f = frames[i];
                byte[] whole = f.Header.Concat(f.Pixels).ToArray();
                Check(f.Kind == MessageType.ImagePiece && f.Number == frames[0].Number + i && f.Width == 640 && f.Height == 480,
                      "frame {0}: kind {1}, {2} x {3}", f.Number, f.Kind, f.Width, f.Height);
                Check(whole.SequenceEqual(ExpectedFrame(7, f.Number, 3, 640 * 480)) && whole.SequenceEqual(messages[i]), "frame {0}'s bytes", f.Number);
                Check(Math.Abs((DateTimeOffset.UtcNow - f.UtcTime).TotalSeconds) < 60 && (i == 0 || f.HostTimeNanoseconds > frames[i - 1].HostTimeNanoseconds),
                      "frame {0}'s times {1}, {2}", f.Number, f.UtcTime, f.HostTimeNanoseconds);
            }
        }
        // Counters that differ where they lie side by side: a field out of place shows.
        Health h = session.Health;
        Check(h.BytesIn > h.FramesIn && h.FramesIn > h.ImageFrames && h.ImageFrames >= 5 && h.BytesOut > h.FramesOut && h.FramesOut > 0 &&
              h.OrdersAcked >= 3 && h.OrdersSent >= h.OrdersAcked && h.LastRttMicroseconds > 0 && h.LastRttMicroseconds < 5000000 &&
              h.ChecksumErrors + h.Resyncs + h.BytesSkipped + h.ImageFramesDropped + h.RecordsSkipped == 0,
              "health: {0}", string.Join(" ", typeof(Health).GetFields().Select(f => f.Name + "=" + f.GetValue(h))));
    }

    private static void StatusLineStatesAndFailingHandlers()
    {
        var lines = new List<string>();
        var states = new List<string>();
        var failures = new List<HandlerFailedEventArgs>();
        Open(Sim("--scanner-state", "0", "--arm-state", "3"), s =>
        {
            s.StatusLine += (o, e) => { lock (lines) lines.Add(e.Text); };
            s.ScannerState += (o, e) => { lock (states) states.Add("scanner " + e.State); };
            s.ArmState += (o, e) => { lock (states) states.Add("arm " + e.State); };
            s.DeviceEvent += (o, e) => { throw new ArgumentException("boom " + e.Text); };
            s.HandlerFailed += (o, e) => { lock (failures) failures.Add(e); };
        });
        Check(WaitUntil(() => { lock (lines) return lines.Count > 0; }), "no status line");
        string expected = string.Format("扫描头：{0}, {1}fps; 关节臂：{2}, {3}fps", StateNames[0], 0, StateNames[3], 0);
        lock (lines) Check(lines[0] == expected, "status line {0}, not {1}", lines[0], expected);
        // Only this device's states: the previous case's device (arm working) is not reported again.
        lock (states) Check(states.Contains("scanner Working") && states.Contains("arm IoError") && !states.Contains("arm Working"),
                            "states {0}", string.Join(", ", states));
        lock (failures)
            Check(failures.Count >= 2 && failures[0].EventName == "DeviceEvent" && failures[0].Exception.Message == "boom Connecting..." &&
                  session.HandlerFailureCount == failures.Count, "{0} failures, {1} counted", failures.Count, session.HandlerFailureCount);
    }

    private static void DisposeWhileHandlersRun()
    {
        object gate = new object();
        int inside = 0, calls = 0, late = 0;
        bool disposed = false;
        EventHandler<EventArgs> slow = (o, e) =>
        {
            lock (gate) { inside++; if (disposed) late++; }
            Thread.Sleep(20);
            lock (gate) { inside--; calls++; }
        };
        Open(Sim("--fps", "100", "--image-size", "20000", "--piece-size", "4000"), s =>
        {
            s.Frame += (o, e) => slow(o, e);
            s.Message += (o, e) => slow(o, e);
            s.StatusLine += (o, e) => slow(o, e);
        });
        session.Request(OrderType.StartScan, null, TimeSpan.FromSeconds(5));
        Check(WaitUntil(() => { GC.Collect(); lock (gate) return calls > 20; }), "handlers not called");
        var clock = Stopwatch.StartNew();
        session.Dispose();
        double elapsed = clock.Elapsed.TotalSeconds;
        int callsAtDispose;
        lock (gate) { callsAtDispose = calls; disposed = true; Check(inside == 0, "{0} handlers still inside", inside); }
        Thread.Sleep(500);
        lock (gate) Check(calls == callsAtDispose && late == 0, "{0} handler calls after Dispose", calls - callsAtDispose);
        Check(elapsed >= 0.9 && elapsed < 10 && !session.IsStarted, "Dispose took {0} s", elapsed);
    }

    private static void GrabSampleSavesFivePgms()
    {
        int port = Sim();
        var run = Process.Start(new ProcessStartInfo("mono", string.Format("\"{0}\" 127.0.0.1 {1}", grab, port))
                                { UseShellExecute = false, RedirectStandardOutput = true, StandardOutputEncoding = Encoding.UTF8 });
        string output = run.StandardOutput.ReadToEnd();
        Check(run.WaitForExit(60000) && run.ExitCode == 0, "Grab exit {0}: {1}", run.HasExited ? run.ExitCode : -1, output);
        Check(output.Contains("FPGA temperature 25.00 C\n") && output.Contains("status: 扫描头：工作正常, 0fps; 关节臂：工作正常, 0fps\n"), "Grab said {0}", output);
        byte[] header = Encoding.ASCII.GetBytes("P5\n640 480\n255\n");
        for (int i = 1; i <= 5; i++)
        {
            var pgm = new FileInfo("frame_" + i + ".pgm");
            Check(pgm.Exists && pgm.Length == header.Length + 640 * 480 && File.ReadAllBytes(pgm.FullName).Take(header.Length).SequenceEqual(header), "{0}", pgm.Name);
        }
    }
}
