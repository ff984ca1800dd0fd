using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Kestal.HostComm
{
    /// <summary>The device's ACK of an order, as <see cref="Session.Request"/> returns it.</summary>
    public sealed class Ack
    {
        private readonly byte[] reply;

        internal Ack(Native.Ack ack)
        {
            SeqNo = ack.SeqNo;
            SubType = (OrderType)ack.SubType;
            Code = ack.Code;
            Truncated = ack.Truncated != 0;
            reply = new byte[Math.Min(ack.ReplyLen, (uint)Native.AckReplyMax)];
            Array.Copy(ack.Reply, reply, reply.Length);
        }

        /// <summary>The order's sequence number.</summary>
        public ushort SeqNo { get; }

        /// <summary>The order's sub type.</summary>
        public OrderType SubType { get; }

        /// <summary>0 when the device did what was asked; other values are the device's reasons.</summary>
        public ushort Code { get; }

        /// <summary>True when <see cref="Code"/> is 0.</summary>
        public bool IsOk => Code == 0;

        /// <summary>True when the reply was longer than 4096 bytes and was cut to that.</summary>
        public bool Truncated { get; }

        /// <summary>A copy of the reply bytes that follow the ACK's header.</summary>
        public byte[] Reply => (byte[])reply.Clone();

        /// <summary>The FPGA temperature in degrees Celsius, from the reply of <see cref="OrderType.FpgaTemp"/>.</summary>
        /// <exception cref="KestalException">The reply is too short for a temperature.</exception>
        public double FpgaTemperatureCelsius()
        {
            double celsius = 0;
            Decode("FPGA temperature", (ref Native.OrderAck view) => Native.kestal_decode_fpga_temp(ref view, out celsius));
            return celsius;
        }

        /// <summary>The device's versions, from the reply of <see cref="OrderType.StaticInfo"/>.</summary>
        /// <exception cref="KestalException">The reply is too short for the versions.</exception>
        public StaticInfo StaticInfo()
        {
            var info = default(Native.StaticInfo);
            Decode("static information", (ref Native.OrderAck view) => Native.kestal_decode_static_info(ref view, out info));
            return new StaticInfo(info.AppVersion, info.FpgaVersion);
        }

        /// <summary>The sensor's known registers, from the reply of <see cref="OrderType.SensorRegMap"/>.</summary>
        /// <exception cref="KestalException">The reply is too short for the register map.</exception>
        public SensorMap SensorMap()
        {
            var map = default(SensorMap);
            Decode("sensor map", (ref Native.OrderAck view) => Native.kestal_decode_sensor_map(ref view, out map));
            return map;
        }

        private delegate int Decoder(ref Native.OrderAck view);

        // The library's decoders read a kestal_order_ack whose reply points into a kestal_ack:
        // this ACK is laid out again in unmanaged memory for the length of the call.
        private void Decode(string what, Decoder decoder)
        {
            var native = new Native.Ack
            {
                SeqNo = SeqNo, SubType = (ushort)SubType, Code = Code, Truncated = (ushort)(Truncated ? 1 : 0),
                ReplyLen = (uint)reply.Length, Reply = new byte[Native.AckReplyMax],
            };
            Array.Copy(reply, native.Reply, reply.Length);
            IntPtr block = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(Native.Ack)));
            try
            {
                Marshal.StructureToPtr(native, block, false);
                Native.OrderAck view;
                int result = Native.kestal_view_ack(block, out view);
                if (result == 0) result = decoder(ref view);
                if (result != 0)
                    throw new KestalException((ErrorCode)result,
                        string.Format("the reply of order {0} ({1} bytes) is too short for the {2}", (int)SubType, reply.Length, what));
            }
            finally
            {
                Marshal.FreeHGlobal(block);
            }
        }

        /// <summary>The ACK in one line, for logs.</summary>
        public override string ToString() =>
            string.Format("ACK of {0} (seq_no {1}): code {2}, {3} reply bytes", SubType, SeqNo, Code, reply.Length);
    }

    /// <summary>The device's versions: four numbers each (major, minor, revision, build).</summary>
    public sealed class StaticInfo
    {
        internal StaticInfo(uint[] app, uint[] fpga)
        {
            AppVersion = Array.AsReadOnly((uint[])app.Clone());
            FpgaVersion = Array.AsReadOnly((uint[])fpga.Clone());
        }

        /// <summary>The application's version: major, minor, revision, build.</summary>
        public IReadOnlyList<uint> AppVersion { get; }

        /// <summary>The FPGA's version: major, minor, revision, build.</summary>
        public IReadOnlyList<uint> FpgaVersion { get; }

        /// <summary>"app A.B.C.D, fpga A.B.C.D".</summary>
        public override string ToString() =>
            "app " + string.Join(".", AppVersion) + ", fpga " + string.Join(".", FpgaVersion);
    }

    /// <summary>The sensor registers the library knows, as kestal_sensor_map lays them out.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct SensorMap
    {
        /// <summary>Height of the region of interest in rows.</summary>
        public uint RoiHeight;
        /// <summary>First row of the region of interest.</summary>
        public uint StartRow;
        /// <summary>Flip setting.</summary>
        public uint Flip;
        /// <summary>Exposure setting.</summary>
        public uint Exposure;
        /// <summary>Gain setting.</summary>
        public uint Gain;
        /// <summary>The sensor's raw temperature register.</summary>
        public uint Temperature;
    }

    /// <summary>The link's counters since the last start, as kestal_health lays them out.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct Health
    {
        /// <summary>Bytes received on the link, framing included.</summary>
        public ulong BytesIn;
        /// <summary>Bytes sent on the link, framing included.</summary>
        public ulong BytesOut;
        /// <summary>Link frames (network) or mailbox records (disk) received.</summary>
        public ulong FramesIn;
        /// <summary>Link frames (network) or mailbox records (disk) sent.</summary>
        public ulong FramesOut;
        /// <summary>Frames with a wrong checksum.</summary>
        public ulong ChecksumErrors;
        /// <summary>Times the reader searched for the next frame start.</summary>
        public ulong Resyncs;
        /// <summary>Bytes skipped while searching.</summary>
        public ulong BytesSkipped;
        /// <summary>Frames longer than the link allows.</summary>
        public ulong OversizeFrames;
        /// <summary>Reconnections.</summary>
        public ulong Reconnects;
        /// <summary>Heartbeats sent.</summary>
        public ulong HeartbeatsSent;
        /// <summary>Orders sent.</summary>
        public ulong OrdersSent;
        /// <summary>Orders acknowledged.</summary>
        public ulong OrdersAcked;
        /// <summary>The last order's round trip to its ACK, in microseconds.</summary>
        public ulong LastRttMicroseconds;
        /// <summary>Whole image frames received.</summary>
        public ulong ImageFrames;
        /// <summary>Image frames dropped: incomplete, or not taken by a slow Message or Frame handler.</summary>
        public ulong ImageFramesDropped;
        /// <summary>Mailbox records skipped.</summary>
        public ulong RecordsSkipped;
        /// <summary>Most buffers ever waiting in the receive queue.</summary>
        public ulong RecvQueueHigh;
        /// <summary>Most buffers ever waiting in the send queue.</summary>
        public ulong SendQueueHigh;
    }
}
