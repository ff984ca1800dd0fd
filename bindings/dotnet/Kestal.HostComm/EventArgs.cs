using System;

namespace Kestal.HostComm
{
    /// <summary>A device event with its fixed text and, for a failure, its reason.</summary>
    public sealed class DeviceEventArgs : EventArgs
    {
        internal DeviceEventArgs(DeviceEvent evt, string text, string detail)
        {
            Event = evt;
            Text = text;
            Detail = detail;
        }

        /// <summary>What happened.</summary>
        public DeviceEvent Event { get; }

        /// <summary>The event's fixed text, such as "Connected OK".</summary>
        public string Text { get; }

        /// <summary>The reason of a failure event (such as "connect 127.0.0.1:9: connection refused"); "" otherwise.</summary>
        public string Detail { get; }
    }

    /// <summary>A state code of the scan head or of the arm.</summary>
    public sealed class StateEventArgs : EventArgs
    {
        internal StateEventArgs(State state) { State = state; }

        /// <summary>The state.</summary>
        public State State { get; }
    }

    /// <summary>The once-a-second status line.</summary>
    public sealed class StatusLineEventArgs : EventArgs
    {
        internal StatusLineEventArgs(string text) { Text = text; }

        /// <summary>The status line, decoded from the library's UTF-8.</summary>
        public string Text { get; }
    }

    /// <summary>One message from the device.</summary>
    public sealed class MessageEventArgs : EventArgs
    {
        internal MessageEventArgs(MessageType type, byte[] data)
        {
            Type = type;
            Data = data;
        }

        /// <summary>The message type.</summary>
        public MessageType Type { get; }

        /// <summary>The payload, a copy owned by the handler.</summary>
        public byte[] Data { get; }
    }

    /// <summary>One complete image frame.</summary>
    public sealed class FrameEventArgs : EventArgs
    {
        private static readonly DateTimeOffset UnixEpoch = new DateTimeOffset(1970, 1, 1, 0, 0, 0, TimeSpan.Zero);

        internal FrameEventArgs(Native.Frame frame)
        {
            Kind = (MessageType)frame.Kind;
            Number = frame.Number;
            Width = frame.Width;
            Height = frame.Height;
            HostTimeNanoseconds = frame.HostTimeNs;
            UtcTime = UnixEpoch.AddTicks(frame.UtcTimeNs / 100);
            Header = Native.Copy(frame.Header, frame.HeaderLen);
            Pixels = Native.Copy(frame.Pixels, frame.PixelsLen);
        }

        /// <summary><see cref="MessageType.ImagePiece"/>, <see cref="MessageType.YImagePiece"/> or <see cref="MessageType.YImage"/>.</summary>
        public MessageType Kind { get; }

        /// <summary>The device's frame counter (0 for a Y image).</summary>
        public uint Number { get; }

        /// <summary>Width from the image header (0 for a Y image).</summary>
        public uint Width { get; }

        /// <summary>Height from the image header (0 for a Y image).</summary>
        public uint Height { get; }

        /// <summary>The library's steady clock, in nanoseconds, when the frame's last piece came.</summary>
        public long HostTimeNanoseconds { get; }

        /// <summary>The same moment in UTC.</summary>
        public DateTimeOffset UtcTime { get; }

        /// <summary>A copy of the frame's header: 80 bytes (72 for a Y image).</summary>
        public byte[] Header { get; }

        /// <summary>A copy of the image: width x height bytes of 8-bit grey; 32-bit floats for a Y image.</summary>
        public byte[] Pixels { get; }
    }

    /// <summary>An exception that a handler of a <see cref="Session"/> event threw.</summary>
    public sealed class HandlerFailedEventArgs : EventArgs
    {
        internal HandlerFailedEventArgs(string eventName, Exception exception)
        {
            EventName = eventName;
            Exception = exception;
        }

        /// <summary>The event whose handler threw, such as "Frame".</summary>
        public string EventName { get; }

        /// <summary>What the handler threw.</summary>
        public Exception Exception { get; }
    }

    /// <summary>A failure the library reported, with its code and the library's reason as the message.</summary>
    public class KestalException : Exception
    {
        /// <summary>A failure with its code and reason.</summary>
        public KestalException(ErrorCode code, string message) : base(message) { Code = code; }

        /// <summary>The library's result code.</summary>
        public ErrorCode Code { get; }
    }

    /// <summary>No answer came within the time given (<see cref="ErrorCode.Timeout"/>).</summary>
    public class KestalTimeoutException : KestalException
    {
        /// <summary>A timeout with the library's reason.</summary>
        public KestalTimeoutException(string message) : base(ErrorCode.Timeout, message) { }
    }
}
