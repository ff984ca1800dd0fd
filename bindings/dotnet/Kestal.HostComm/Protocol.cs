using System.Runtime.InteropServices;

namespace Kestal.HostComm
{
    /// <summary>The library's names of message types and order sub types: its C constants' names without the prefix ("FPGA_TEMP").</summary>
    public static class ProtocolNames
    {
        /// <summary>The name of a message type, or "" for one the library does not know.</summary>
        public static string Of(MessageType type) => Marshal.PtrToStringAnsi(Native.kestal_msg_name((int)type));

        /// <summary>The name of an order sub type, or "" for one the library does not know.</summary>
        public static string Of(OrderType subType) => Marshal.PtrToStringAnsi(Native.kestal_order_name((int)subType));
    }

    /// <summary>Message types: the type of a message sent to or received from the device.</summary>
    public enum MessageType : ushort
    {
        /// <summary>Arm messages, relayed by the library itself.</summary>
        Arm = 1,
        /// <summary>A Y image: 72-byte header, then 32-bit floats.</summary>
        YImage = 2,
        /// <summary>An original image frame (80-byte header, then the pixels).</summary>
        ImagePiece = 3,
        /// <summary>Write-config order, and its ACK.</summary>
        WriteConfig = 4,
        /// <summary>Read-config order, and its ACK with the file.</summary>
        ReadConfig = 5,
        /// <summary>An order to the device, and its ACK.</summary>
        Order = 6,
        /// <summary>The controller's status record, about once a second.</summary>
        ControllerStatus = 7,
        /// <summary>A Y-original image frame, laid out as <see cref="ImagePiece"/>.</summary>
        YImagePiece = 8,
        /// <summary>Firmware chunks to the device, progress ACKs from it.</summary>
        UpdateFirmware = 9,
    }

    /// <summary>Order sub types: what an order asks the device to do.</summary>
    public enum OrderType : ushort
    {
        /// <summary>Heartbeat (the library sends its own every second).</summary>
        HeartBeat = 0,
        /// <summary>Start streaming image frames.</summary>
        StartScan = 1,
        /// <summary>Stop streaming image frames.</summary>
        StopScan = 2,
        /// <summary>Treated by the device as <see cref="StartScan"/>.</summary>
        StartScanAlt = 3,
        /// <summary>Treated by the device as <see cref="StopScan"/>.</summary>
        StopScanAlt = 4,
        /// <summary>Set the sensor's exposure.</summary>
        SetExposure = 21,
        /// <summary>Set the sensor's gain.</summary>
        SetGain = 22,
        /// <summary>Trigger a single frame.</summary>
        TriggerSingle = 27,
        /// <summary>Trigger frames continuously.</summary>
        TriggerContinue = 28,
        /// <summary>Stream original image frames.</summary>
        EnterOriginalImage = 29,
        /// <summary>Stream Y image frames.</summary>
        EnterYImage = 30,
        /// <summary>Set the comm type (sent by the library on every connection).</summary>
        SetCommType = 70,
        /// <summary>Write one sensor register.</summary>
        SetSensorReg = 80,
        /// <summary>Read the sensor's register map (see <see cref="Ack.SensorMap"/>).</summary>
        SensorRegMap = 81,
        /// <summary>Read the device's versions (see <see cref="Ack.StaticInfo"/>).</summary>
        StaticInfo = 82,
        /// <summary>Read the FPGA temperature (see <see cref="Ack.FpgaTemperatureCelsius"/>).</summary>
        FpgaTemp = 83,
    }

    /// <summary>The device's state codes, as the scanner and arm state events give them.</summary>
    public enum State : ushort
    {
        /// <summary>Working normally.</summary>
        Working = 0,
        /// <summary>Device not found.</summary>
        NotFound = 1,
        /// <summary>The device could not be opened.</summary>
        OpenFailed = 2,
        /// <summary>An I/O error.</summary>
        IoError = 3,
        /// <summary>Device inserted.</summary>
        Inserted = 4,
        /// <summary>Device removed.</summary>
        Removed = 5,
        /// <summary>Device communication timed out.</summary>
        Timeout = 6,
        /// <summary>No controller status for 3 s, or a code the library does not know.</summary>
        NoStatus = 7,
    }

    /// <summary>Device events, each with its fixed text.</summary>
    public enum DeviceEvent
    {
        /// <summary>"Device arrival".</summary>
        DeviceArrival = 0,
        /// <summary>"Device left".</summary>
        DeviceLeft = 1,
        /// <summary>"Connected Error": the link could not be opened.</summary>
        ConnectedError = 2,
        /// <summary>"Connected OK": the link is up.</summary>
        ConnectedOk = 3,
        /// <summary>"Connecting...".</summary>
        Connecting = 4,
        /// <summary>"Not connected".</summary>
        NotConnected = 5,
        /// <summary>"Comm Error": an established link was lost.</summary>
        CommError = 6,
    }

    /// <summary>The transports to the device.</summary>
    public enum Transport
    {
        /// <summary>The device's 50 MiB disk used as a mailbox.</summary>
        Storage = 0,
        /// <summary>TCP to the first device endpoint.</summary>
        Network = 1,
        /// <summary>TCP to the second device endpoint.</summary>
        NetworkAlt = 2,
    }

    /// <summary>The library's result codes (0 for success, negative for a failure).</summary>
    public enum ErrorCode
    {
        /// <summary>Success.</summary>
        Ok = 0,
        /// <summary>A null or malformed argument, or input too short for its layout.</summary>
        Invalid = -1,
        /// <summary>No answer within the time given.</summary>
        Timeout = -2,
        /// <summary>The library is stopped or has no link to the device.</summary>
        NotConnected = -3,
        /// <summary>The link refused the message (its send queue stayed full).</summary>
        SendFailed = -4,
        /// <summary>Stopping the session ended the wait.</summary>
        Stopped = -5,
        /// <summary>Start or stop called from a library callback, whose return it would wait for.</summary>
        InCallback = -6,
    }
}
