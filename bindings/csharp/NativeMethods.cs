// The library's sixteen exports, as quilvane_sdk.h declares them. Every one
// uses the C calling convention, also on 32-bit Windows. The name resolves
// to QUILVANE_SDK.dll on Windows and libQUILVANE_SDK.so on Linux.
using System.Runtime.InteropServices;

namespace Quilvane
{
    public static class NativeMethods
    {
        public const string Library = "QUILVANE_SDK";

        /// <summary>Most records one search writes; the arrays given to the searches hold this many.</summary>
        public const int MaxSearchResults = 256;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QUILVANE_Init();

        /// <summary>Final for the process: afterwards nothing can be opened again.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QUILVANE_Exit();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Search([Out] DeviceInfo[] results);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_SearchPELIX([Out] PelixDeviceRecord[] results);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_ProbePELIXDevice(byte[] deviceId, byte[] address, int timeoutMs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_ProbeVCIDevice(byte[] deviceId, byte[] address, int timeoutMs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Open([In] ref OpenParams parameters);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Close(int handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Recv();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Send();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Recv_CAN(int handle, int channel, [Out] CanFrame[] frames, int maxCount);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_Send_CAN(int handle, [In] ref CanFrame frame);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QUILVANE_TimerSend_CAN();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QUILVANE_Clear_Buffer(int handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QUILVANE_Clear_Send_Buffer(int handle);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern uint QUILVANE_Get_Send_Queue_Size(int handle);
    }
}
