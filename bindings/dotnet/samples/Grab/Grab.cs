// Grab HOST PORT: connects to the device (or the simulator) at HOST:PORT, prints the FPGA
// temperature and the status line, saves five image frames as frame_1.pgm ... frame_5.pgm in the
// current folder and stops. Exits 0 when all of that worked, 1 when something did not within
// 10 s, 2 on bad arguments.
using System;
using System.Collections.Concurrent;
using System.IO;
using System.Text;
using Kestal.HostComm;

internal static class Grab
{
    private static readonly TimeSpan Patience = TimeSpan.FromSeconds(10);

    private static int Main(string[] args)
    {
        int port;
        if (args.Length != 2 || !int.TryParse(args[1], out port) || port < 1 || port > 65535)
        {
            Console.Error.WriteLine("usage: Grab HOST PORT");
            return 2;
        }
        Console.OutputEncoding = new UTF8Encoding(false);  // the status line is Chinese text
        var statusLines = new BlockingCollection<string>();
        var frames = new BlockingCollection<FrameEventArgs>(5);
        using (var session = new Session())
        {
            session.DeviceEvent += (sender, e) => Console.WriteLine("event: {0}{1}", e.Text, e.Detail.Length > 0 ? " (" + e.Detail + ")" : "");
            session.StatusLine += (sender, e) => statusLines.TryAdd(e.Text);
            // Events run on the library's threads: hand the frames over, never block there for long.
            session.Frame += (sender, e) => frames.TryAdd(e);
            try
            {
                session.StartNetwork(args[0], port);
                if (!session.WaitConnected(Patience)) return Fail("no connection within 10 s: " + session.LastSessionError);
                Ack temperature = session.Request(OrderType.FpgaTemp);
                Console.WriteLine("FPGA temperature {0:F2} C", temperature.FpgaTemperatureCelsius());
                string line;
                if (!statusLines.TryTake(out line, Patience)) return Fail("no status line within 10 s");
                Console.WriteLine("status: " + line);
                session.Request(OrderType.StartScan);
                for (int i = 1; i <= 5; i++)
                {
                    FrameEventArgs frame;
                    if (!frames.TryTake(out frame, Patience)) return Fail("no frame within 10 s");
                    string name = "frame_" + i + ".pgm";
                    SavePgm(name, frame);
                    Console.WriteLine("frame {0}: {1} x {2} saved to {3}", frame.Number, frame.Width, frame.Height, name);
                }
                session.Request(OrderType.StopScan);
            }
            catch (KestalException e)
            {
                return Fail(e.Message);
            }
        }
        return 0;
    }

    // 8-bit grey as binary PGM: "P5", width, height, the largest value, then the rows.
    private static void SavePgm(string path, FrameEventArgs frame)
    {
        if (frame.Kind != MessageType.ImagePiece || (long)frame.Width * frame.Height != frame.Pixels.Length)
            throw new KestalException(ErrorCode.Invalid, string.Format(
                "frame {0} is not {1} x {2} bytes of grey ({3} bytes)", frame.Number, frame.Width, frame.Height, frame.Pixels.Length));
        using (var file = File.Create(path))
        {
            byte[] header = Encoding.ASCII.GetBytes(string.Format("P5\n{0} {1}\n255\n", frame.Width, frame.Height));
            file.Write(header, 0, header.Length);
            file.Write(frame.Pixels, 0, frame.Pixels.Length);
        }
    }

    private static int Fail(string why)
    {
        Console.Error.WriteLine("Grab: " + why);
        return 1;
    }
}
