// The C# binding against the library and the device simulator.
//
//   BindingTest.exe layout RECORD_LAYOUT   records as the header lays them out (record_layout.c)
//   BindingTest.exe echo                   a frame echoed on each connection type, then every other export
//   BindingTest.exe network                search and probes, inside tests/discovery/isolated_network.sh
//
// QUILVANE_SIM names the simulator. Exit status 0 when every check passed.
using System;
using System.Collections.Generic;
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
        case "layout": Layout(args[1]); break;
        case "echo": Echo(); break;
        case "network": Network(Environment.GetEnvironmentVariable("QUILVANE_NETWORK")); break;
        default: Console.Error.WriteLine("usage: BindingTest.exe layout RECORD_LAYOUT | echo | network"); return 2;
        }
        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " checks FAILED");
        return failures == 0 ? 0 : 1;
    }

    private static void Check(bool passed, string what)
    {
        Console.WriteLine((passed ? "ok: " : "FAILED: ") + what);
        if (!passed)
            ++failures;
    }

    // "Record size N" and "Record.field OFFSET" lines, the field named as in the header.
    private static void Layout(string recordLayoutProgram)
    {
        var start = new ProcessStartInfo(recordLayoutProgram) { UseShellExecute = false, RedirectStandardOutput = true };
        var header = new List<string>();
        using (var process = Process.Start(start))
        {
            for (string line; (line = process.StandardOutput.ReadLine()) != null;)
                header.Add(line);
            process.WaitForExit();
        }
        var binding = new List<string>();
        foreach (Type record in new[] { typeof(OpenParams), typeof(CanFrame), typeof(DeviceInfo), typeof(PelixDeviceRecord) })
        {
            binding.Add(record.Name + " size " + Marshal.SizeOf(record));
            foreach (var field in record.GetFields())
                binding.Add(string.Format("{0}.{1}{2} {3}", record.Name, char.ToLowerInvariant(field.Name[0]),
                                          field.Name.Substring(1), Marshal.OffsetOf(record, field.Name)));
        }
        header.Sort(StringComparer.Ordinal);
        binding.Sort(StringComparer.Ordinal);
        bool same = header.Count > 0 && header.SequenceEqual(binding);
        Check(same, "sizes and offsets as in the header");
        if (!same)
            Console.WriteLine("  header:  " + string.Join(", ", header) + "\n  binding: " + string.Join(", ", binding));
    }

    private static void Echo()
    {
        using (var tcpDevice = new SimProcess("--tcp-listen", "127.0.0.1:0", "--echo"))
        using (var client = QuilvaneConnection.TcpClient("127.0.0.1", tcpDevice.Port))
        {
            Echoed(client, 0x101, "TCP client");

            ushort serverPort = FreePort(SocketType.Stream, ProtocolType.Tcp);
            using (var server = QuilvaneConnection.TcpServer(serverPort, "127.0.0.1"))
            using (new SimProcess("--tcp-connect", "127.0.0.1:" + serverPort, "--echo"))
                Echoed(server, 0x102, "TCP server");

            // Handle 0 is the client's, where the library files UDP frames.
            using (var udpDevice = new SimProcess("--udp", "127.0.0.1:0", "--echo"))
            using (var udp = QuilvaneConnection.Udp("127.0.0.1", FreePort(SocketType.Dgram, ProtocolType.Udp),
                                                    "127.0.0.1", udpDevice.Port))
            {
                Check(udp.Handle != 0, "the UDP connection is not handle 0");
                Echoed(udp, 0x103, "UDP");
            }
        }

        Check(NativeMethods.QUILVANE_Recv() == -1 && NativeMethods.QUILVANE_Send() == -1 &&
                  NativeMethods.QUILVANE_TimerSend_CAN() == 0 && NativeMethods.QUILVANE_Get_Send_Queue_Size(0) == 0,
              "the constant exports");
        NativeMethods.QUILVANE_Clear_Send_Buffer(0);
        NativeMethods.QUILVANE_Exit();
        try
        {
            QuilvaneConnection.TcpServer(FreePort(SocketType.Stream, ProtocolType.Tcp)).Dispose();
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

    private static ushort FreePort(SocketType type, ProtocolType protocol)
    {
        using (var socket = new Socket(AddressFamily.InterNetwork, type, protocol))
        {
            socket.Bind(new IPEndPoint(IPAddress.Loopback, 0));
            return (ushort)((IPEndPoint)socket.LocalEndPoint).Port;
        }
    }

    // Searches and probes broadcast: only on the private network of
    // isolated_network.sh, whose device side of adapter qa0 is qa1.
    private static void Network(string network)
    {
        if (network == "none")
        {
            Check(QuilvaneDevices.Search().Length == 0, "no adapter: the search finds nothing");
            return;
        }
        if (network != "two-adapters")
        {
            Console.WriteLine("skipped: runs only inside tests/discovery/isolated_network.sh");
            return;
        }
        byte[] id = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01 }, other = { 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02 };
        byte[] device = { 198, 51, 100, 2 };
        using (var responder = new SimProcess("--respond", "search-json,search-pelix,probe-vci,probe-pelix", "--device",
                                              "qa1", "--device-id", "001A2B3C4D01", "--name", "a"))
        {
            Check(responder.Address != "", "the responder is up");
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
