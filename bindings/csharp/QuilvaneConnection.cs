// One open connection: a handle from QUILVANE_Open, closed by Dispose.
using System;

namespace Quilvane
{
    public sealed class QuilvaneConnection : IDisposable
    {
        private int handle;

        public ConnectionType Type { get; private set; }

        /// <summary>The library's handle; -1 once disposed.</summary>
        public int Handle
        {
            get { return handle; }
        }

        private QuilvaneConnection(int handle, ConnectionType type)
        {
            this.handle = handle;
            Type = type;
        }

        /// <summary>Connects to the device's TCP server. Up to three attempts of up to 3 s each.</summary>
        public static QuilvaneConnection TcpClient(string remoteIp, ushort remotePort, string localIp = "",
                                                   ushort localPort = 0)
        {
            return Open(ConnectionType.TcpClient, localIp, localPort, remoteIp, remotePort);
        }

        /// <summary>Listens on localPort (every local address); devices connect to it.</summary>
        public static QuilvaneConnection TcpServer(ushort localPort, string localIp = "")
        {
            return Open(ConnectionType.TcpServer, localIp, localPort, "", 0);
        }

        /// <summary>Datagrams from localIp:localPort to remoteIp:remotePort.</summary>
        public static QuilvaneConnection Udp(string localIp, ushort localPort, string remoteIp, ushort remotePort)
        {
            return Open(ConnectionType.Udp, localIp, localPort, remoteIp, remotePort);
        }

        private static QuilvaneConnection Open(ConnectionType type, string localIp, ushort localPort,
                                               string remoteIp, ushort remotePort)
        {
            var parameters = new OpenParams {
                Type = (uint)type, LocalIp = localIp, LocalPort = localPort, RemoteIp = remoteIp,
                RemotePort = remotePort
            };
            int handle = NativeMethods.QUILVANE_Open(ref parameters);
            if (handle < 0)
                throw new InvalidOperationException(string.Format(
                    "QUILVANE_Open {0} {1}:{2} -> {3}:{4} failed (key in use or no connection)", type, localIp,
                    localPort, remoteIp, remotePort));
            return new QuilvaneConnection(handle, type);
        }

        /// <summary>Sends one frame at once; to every connected device for a TCP server.</summary>
        public void Send(CanFrame frame)
        {
            if (frame.Data == null)
                frame.Data = new byte[64];
            if (NativeMethods.QUILVANE_Send_CAN(OpenHandle(), ref frame) != 0)
                throw new InvalidOperationException("QUILVANE_Send_CAN failed on handle " + handle);
        }

        /// <summary>Moves up to frames.Length frames received on the device channel into frames and
        /// returns their count; waits at most about 2 ms when there is none.</summary>
        public int Receive(int channel, CanFrame[] frames)
        {
            int count = NativeMethods.QUILVANE_Recv_CAN(ReceiveHandle(), channel, frames, frames.Length);
            if (count < 0)
                throw new InvalidOperationException("QUILVANE_Recv_CAN failed on handle " + ReceiveHandle());
            return count;
        }

        /// <summary>Drops every frame received and not yet read, on all channels.</summary>
        public void ClearReceived()
        {
            NativeMethods.QUILVANE_Clear_Buffer(ReceiveHandle());
        }

        public void Dispose()
        {
            if (handle >= 0)
                NativeMethods.QUILVANE_Close(handle);
            handle = -1;
        }

        private int OpenHandle()
        {
            if (handle < 0)
                throw new ObjectDisposedException("QuilvaneConnection");
            return handle;
        }

        // The library files every frame received over UDP under handle 0, so
        // a UDP connection reads there (which works while some connection
        // holds handle 0, as the first one opened does).
        private int ReceiveHandle()
        {
            int open = OpenHandle();
            return Type == ConnectionType.Udp ? 0 : open;
        }
    }
}
