using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kestal.HostComm
{
    // The C interface of kestal_c.h and kestal_protocol.h. Strings to the library use the
    // platform's default marshalling (UTF-8 on Linux, the ANSI code page on Windows), which is
    // what the library expects of host names and disk paths; strings from it are read as UTF-8.
    internal static class Native
    {
        private const string Library = "KestalHostComm";
        internal const int AckReplyMax = 4096;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void EventDetailFn(int evt, IntPtr text, IntPtr detail, IntPtr userData);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void MessageFn(ushort type, IntPtr data, uint len, IntPtr userData);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void StateFn(ushort state, IntPtr userData);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void TextFn(IntPtr text, IntPtr userData);
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void FrameFn(ref Frame frame, IntPtr userData);

#pragma warning disable 0649 // written by the library
        // kestal_frame: the pointers and 64-bit times fall on the same padded offsets as in C.
        [StructLayout(LayoutKind.Sequential)]
        internal struct Frame
        {
            internal ushort Kind;
            internal uint Number;
            internal uint Width;
            internal uint Height;
            internal IntPtr Pixels;
            internal uint PixelsLen;
            internal IntPtr Header;
            internal uint HeaderLen;
            internal long HostTimeNs;
            internal long UtcTimeNs;
        }

        // kestal_ack, with its fixed reply array.
        [StructLayout(LayoutKind.Sequential)]
        internal struct Ack
        {
            internal ushort SeqNo;
            internal ushort SubType;
            internal ushort Code;
            internal ushort Truncated;
            internal uint ReplyLen;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = AckReplyMax)]
            internal byte[] Reply;
        }

        // kestal_order_ack; Reply points into the kestal_ack it was viewed from.
        [StructLayout(LayoutKind.Sequential)]
        internal struct OrderAck
        {
            internal ushort SeqNo;
            internal ushort SubType;
            internal ushort Code;
            internal uint ReplyLen;
            internal IntPtr Reply;
        }

        // kestal_static_info.
        [StructLayout(LayoutKind.Sequential)]
        internal struct StaticInfo
        {
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)]
            internal uint[] AppVersion;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)]
            internal uint[] FpgaVersion;
        }
#pragma warning restore 0649

        // kestal_session_config; Size is Marshal.SizeOf of this struct, which the library checks.
        // The fields the binding does not set stay 0 or null: the library's defaults.
#pragma warning disable 0649
        [StructLayout(LayoutKind.Sequential)]
        internal struct SessionConfig
        {
            internal uint Size;
            internal int CommType;
            [MarshalAs(UnmanagedType.LPStr)] internal string Host;
            internal ushort Port;
            [MarshalAs(UnmanagedType.LPStr)] internal string Disk;
            internal ushort ArmPort;
            internal ushort ArmPeerPort;
            [MarshalAs(UnmanagedType.LPStr)] internal string LogPath;
            internal int ResumeScan;
        }
#pragma warning restore 0649

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kestal_version();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kestal_msg_name(int type);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kestal_order_name(int subType);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_last_error(byte[] buf, uint len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_get_health(out Health health);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kestal_error_name(int code);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_view_ack(IntPtr ack, out OrderAck view);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_decode_fpga_temp(ref OrderAck ack, out double celsius);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_decode_static_info(ref OrderAck ack, out StaticInfo info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_decode_sensor_map(ref OrderAck ack, out SensorMap map);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_open(ref SessionConfig config, out IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kestal_session_close(IntPtr s);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_start(IntPtr s);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_stop(IntPtr s);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_event_detail_callback(IntPtr s, EventDetailFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_message_callback(IntPtr s, MessageFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_scanner_state_callback(IntPtr s, StateFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_arm_state_callback(IntPtr s, StateFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_status_line_utf8_callback(IntPtr s, TextFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_set_frame_callback(IntPtr s, FrameFn callback, IntPtr userData);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_send(IntPtr s, ushort type, byte[] data, uint len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_update_firmware(IntPtr s, ushort firmwareType, byte[] data, uint len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_request(IntPtr s, ushort subType, byte[] parameters, uint paramsLen,
                                                          uint timeoutMs, ref Ack ack);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_get_health(IntPtr s, out Health health);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_last_error(IntPtr s, byte[] buf, uint len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kestal_session_is_connected(IntPtr s);

        // A NUL-terminated UTF-8 string of the library's ("" for null).
        internal static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        // `len` bytes at `data`, copied ("data is valid only during the call").
        internal static byte[] Copy(IntPtr data, uint len)
        {
            var bytes = new byte[len];
            if (len > 0) Marshal.Copy(data, bytes, 0, checked((int)len));
            return bytes;
        }
    }
}
