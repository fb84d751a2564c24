// The C# binding against the library and the device simulator (QUILVANE_SIM).
//
//   BindingTest.exe layout    a C program that checks the records' sizes and offsets against the header
//   BindingTest.exe echo      a frame echoed on each connection type, then every other export
//   BindingTest.exe network   search and probes, inside tests/discovery/isolated_network.sh
using System;
using System.Diagnostics;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Runtime.InteropServices;
using System.Threading;
using Quilvane;

public static class BindingTest
{
    private static int failures;

    public static int Main(string[] args)
    {
        switch (args.Length > 0 ? args[0] : "")
        {
        case "layout": Layout(); return 0;
        case "echo": Echo(); break;
        case "network": Network(Environment.GetEnvironmentVariable("QUILVANE_NETWORK")); break;
        default: Console.Error.WriteLine("usage: BindingTest.exe layout | echo | network"); return 2;
        }
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " checks FAILED");
        return failures == 0 ? 0 : 1;
    }

    private static void Check(bool passed, string what)
    {
        Console.WriteLine((passed ? "ok: " : "FAILED: ") + what);
        failures += passed ? 0 : 1;
    }

    // A C program that a compiler accepts only when the header lays the
    // records out as the binding does: each size and each field's offset, the
    // field named as in the header.
    private static void Layout()
    {
        Console.WriteLine("#include <stddef.h>\n#include \"quilvane_sdk.h\"");
        foreach (Type record in new[] { typeof(OpenParams), typeof(CanFrame), typeof(DeviceInfo), typeof(PelixDeviceRecord) })
        {
            Console.WriteLine("_Static_assert(sizeof({0}) == {1}, \"{0} size {1}\");", record.Name, Marshal.SizeOf(record));
            foreach (var field in record.GetFields())
                Console.WriteLine("_Static_assert(offsetof({0}, {1}{2}) == {3}, \"{0}.{1}{2} {3}\");", record.Name,
                                  char.ToLowerInvariant(field.Name[0]), field.Name.Substring(1),
                                  Marshal.OffsetOf(record, field.Name));
        }
    }

    // quilvane-sim, bounded by --duration and killed by Dispose; Port is its ready line's.
    private sealed class Sim : IDisposable
    {
        private readonly Process process;
        public readonly ushort Port;

        public Sim(params string[] args)
        {
            process = Process.Start(new ProcessStartInfo(Environment.GetEnvironmentVariable("QUILVANE_SIM"),
                                                         "--duration 30 " + string.Join(" ", args)) {
                UseShellExecute = false, RedirectStandardOutput = true
            });
            string ready = process.StandardOutput.ReadLine() ?? ":0";
            Port = ushort.Parse(ready.Substring(ready.LastIndexOf(':') + 1));
        }

        public void Dispose()
        {
            if (!process.HasExited)
                process.Kill();
            process.WaitForExit();
        }
    }

    private static void Echo()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0); // a free port for the TCP server
        listener.Start();
        ushort serverPort = (ushort)((IPEndPoint)listener.LocalEndpoint).Port;
        listener.Stop();
        using (var tcpDevice = new Sim("--tcp-listen", "127.0.0.1:0", "--echo"))
        using (var client = QuilvaneConnection.TcpClient("127.0.0.1", tcpDevice.Port))
        using (var server = QuilvaneConnection.TcpServer(serverPort, "127.0.0.1"))
        using (new Sim("--tcp-connect", "127.0.0.1:" + serverPort, "--echo"))
        using (var udpDevice = new Sim("--udp", "127.0.0.1:0", "--echo"))
        using (var udp = QuilvaneConnection.Udp("127.0.0.1", 0, "127.0.0.1", udpDevice.Port))
        {
            Echoed(client, 0x101, "TCP client");
            Echoed(server, 0x102, "TCP server");
            // Handle 0 is the client's, where the library files UDP frames.
            Check(udp.Handle != 0, "the UDP connection is not handle 0");
            Echoed(udp, 0x103, "UDP");
        }
        Check(NativeMethods.QUILVANE_Recv() == -1 && NativeMethods.QUILVANE_Send() == -1 &&
                  NativeMethods.QUILVANE_TimerSend_CAN() == 0 && NativeMethods.QUILVANE_Get_Send_Queue_Size(0) == 0,
              "the constant exports");
        NativeMethods.QUILVANE_Clear_Send_Buffer(0);
        NativeMethods.QUILVANE_Exit();
        try
        {
            QuilvaneConnection.TcpServer(serverPort).Dispose();
            Check(false, "opening after QUILVANE_Exit throws");
        }
        catch (InvalidOperationException)
        {
            Check(true, "opening after QUILVANE_Exit throws");
        }
    }

    // Sends a CAN FD frame until its echo is back (a TCP server's device
    // connects when it likes), then compares the echo with it.
    private static void Echoed(QuilvaneConnection connection, uint id, string what)
    {
        var data = Enumerable.Range(0, 12).Select(b => (byte)(0xA0 + b)).ToArray();
        var sent = CanFrame.Create(id, data, 1, 0x5);
        var frames = new CanFrame[64];
        var clock = Stopwatch.StartNew();
        CanFrame? echo = null;
        for (int attempt = 0; echo == null && clock.Elapsed < TimeSpan.FromSeconds(10); ++attempt)
        {
            if (attempt % 50 == 0)
                connection.Send(sent);
            int n = connection.Receive(1, frames);
            echo = frames.Take(n).Where(f => f.Id == id).Cast<CanFrame?>().FirstOrDefault();
            if (n == 0)
                Thread.Sleep(2);
        }
        Check(echo != null && echo.Value.Flags == sent.Flags && echo.Value.Channel == 1 &&
                  echo.Value.Payload().SequenceEqual(data),
              what + ": the frame comes back as sent");
    }

    // Searches and probes broadcast: only on the private network of
    // isolated_network.sh, whose device side of adapter qa0 is qa1.
    private static void Network(string network)
    {
        if (network == "none")
            Check(QuilvaneDevices.Search().Length == 0, "no adapter: the search finds nothing");
        if (network != "two-adapters")
            return;
        byte[] id = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01 }, other = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02 };
        byte[] device = { 198, 51, 100, 2 };
        using (new Sim("--respond", "search-json,search-pelix,probe-vci,probe-pelix", "--device", "qa1",
                       "--device-id", "001A2B3C4D01", "--name", "a"))
        {
            var found = QuilvaneDevices.Search();
            Check(found.Length == 1 && found[0].Name == "a" && found[0].Address == "198.51.100.2",
                  "the search finds the device with its name and address");
            var pelix = QuilvaneDevices.SearchPelix();
            Check(pelix.Length == 1 && pelix[0].Bytes.Skip(4).Take(6).SequenceEqual(id),
                  "the PELIX search finds the device by its identifier");
            Check(QuilvaneDevices.ProbeVci(id, device, 200) && !QuilvaneDevices.ProbeVci(other, device, 50),
                  "the VCI probe: the device answers, no other");
            Check(QuilvaneDevices.ProbePelix(id, device, 200) && !QuilvaneDevices.ProbePelix(other, device, 50),
                  "the PELIX probe: the device answers, no other");
        }
    }
}
