// The records that cross the library boundary, laid out byte for byte as in
// quilvane_sdk.h (packed, no padding). Texts are NUL-terminated ANSI.
using System.Runtime.InteropServices;

namespace Quilvane
{
    /// <summary>OpenParams.Type values.</summary>
    public enum ConnectionType : uint
    {
        TcpClient = 1, // we connect to the device's TCP server
        TcpServer = 2, // we listen on LocalPort, devices connect
        Udp = 3,       // datagrams between LocalIp:LocalPort and RemoteIp:RemotePort
    }

    /// <summary>Given to QUILVANE_Open: dotted IPv4 texts, ports in host order.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct OpenParams
    {
        public uint Type;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)] public string LocalIp;
        public ushort LocalPort;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)] public string RemoteIp;
        public ushort RemotePort;
    }

    /// <summary>One CAN or CAN FD frame. DataLength counts bytes (0 to 64), it is no DLC code.
    /// Flags as Linux uses CAN FD flags: 0x1 bit rate switch, 0x2 error state, 0x4 CAN FD.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct CanFrame
    {
        public ulong Timestamp;
        public uint Id;
        public ushort Flags;
        public byte Channel;
        public byte DataLength;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 64)] public byte[] Data;

        /// <summary>A frame whose Data holds the full 64 bytes the record carries.</summary>
        public static CanFrame Create(uint id, byte[] data, byte channel = 0, ushort flags = 0)
        {
            if (data.Length > 64)
                throw new System.ArgumentException("a frame carries at most 64 data bytes", "data");
            var frame = new CanFrame { Id = id, Flags = flags, Channel = channel, DataLength = (byte)data.Length };
            frame.Data = new byte[64];
            System.Array.Copy(data, frame.Data, data.Length);
            return frame;
        }

        /// <summary>The DataLength bytes of Data that count.</summary>
        public byte[] Payload()
        {
            var payload = new byte[System.Math.Min((int)DataLength, 64)];
            if (Data != null)
                System.Array.Copy(Data, payload, payload.Length);
            return payload;
        }
    }

    /// <summary>A device's answer to QUILVANE_Search.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1, CharSet = CharSet.Ansi)]
    public struct DeviceInfo
    {
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)] public string Model;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)] public string KernelVersion;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)] public string SoftwareVersion;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 8)] public string HardwareVersion;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 10)] public string SerialNumber;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 16)] public string Name;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)] public byte[] Ipv4;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)] public byte[] Mac;

        /// <summary>The device's IPv4 address as dotted text.</summary>
        public string Address
        {
            get { return Ipv4 == null ? "" : string.Join(".", System.Array.ConvertAll(Ipv4, b => b.ToString())); }
        }
    }

    /// <summary>A PELIX family device's answer to QUILVANE_SearchPELIX; bytes 0 to 3 are 00 02 00 02.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct PelixDeviceRecord
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 29)] public byte[] Bytes;
    }
}
