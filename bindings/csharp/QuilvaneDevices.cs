// Device searches and probes. Searches broadcast on every adapter and wait
// 500 ms; probes ask one device, known by its identifier and address.
using System;

namespace Quilvane
{
    public static class QuilvaneDevices
    {
        public static DeviceInfo[] Search()
        {
            var results = new DeviceInfo[NativeMethods.MaxSearchResults];
            int count = NativeMethods.QUILVANE_Search(results);
            Array.Resize(ref results, Math.Max(count, 0));
            return results;
        }

        public static PelixDeviceRecord[] SearchPelix()
        {
            var results = new PelixDeviceRecord[NativeMethods.MaxSearchResults];
            int count = NativeMethods.QUILVANE_SearchPELIX(results);
            Array.Resize(ref results, Math.Max(count, 0));
            return results;
        }

        /// <summary>Whether the VCI device with this 6-byte identifier answers at the 4-byte address
        /// (first dotted number first).</summary>
        public static bool ProbeVci(byte[] deviceId, byte[] address, int timeoutMs)
        {
            CheckArguments(deviceId, address);
            return Answered(NativeMethods.QUILVANE_ProbeVCIDevice(deviceId, address, timeoutMs), "VCI");
        }

        /// <summary>The same for a PELIX family device.</summary>
        public static bool ProbePelix(byte[] deviceId, byte[] address, int timeoutMs)
        {
            CheckArguments(deviceId, address);
            return Answered(NativeMethods.QUILVANE_ProbePELIXDevice(deviceId, address, timeoutMs), "PELIX");
        }

        // The library reads exactly 6 and 4 bytes from these arrays.
        private static void CheckArguments(byte[] deviceId, byte[] address)
        {
            if (deviceId == null || deviceId.Length != 6)
                throw new ArgumentException("a device identifier is 6 bytes", "deviceId");
            if (address == null || address.Length != 4)
                throw new ArgumentException("an IPv4 address is 4 bytes", "address");
        }

        private static bool Answered(int result, string family)
        {
            if (result < 0)
                throw new InvalidOperationException(
                    "the " + family + " probe failed: bad time-out, no usable adapter or a socket failure");
            return result == 1;
        }
    }
}
