// Talks to one device over TCP: sends a few frames, prints every frame that
// comes back (candump log style) and closes.
//
//   QuilvaneDemo ADDRESS PORT
//
// Build: mcs -out:QuilvaneDemo.exe example/QuilvaneDemo.cs *.cs (or add the
// binding's files to a project). QUILVANE_SDK.dll (Windows, of the process's
// bitness) or libQUILVANE_SDK.so (Linux) must be where the system finds it.
using System;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using Quilvane;

public static class QuilvaneDemo
{
    public static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: QuilvaneDemo ADDRESS PORT");
            return 2;
        }
        const int framesToSend = 4;
        int received = 0;
        NativeMethods.QUILVANE_Init();
        try
        {
            using (var connection = QuilvaneConnection.TcpClient(args[0], ushort.Parse(args[1])))
            {
                for (int i = 0; i < framesToSend; ++i)
                {
                    bool fd = i == framesToSend - 1; // the last one is CAN FD, with bit rate switch
                    var data = Enumerable.Range(1, fd ? 12 : 2).Select(b => (byte)(0x11 * b)).ToArray();
                    connection.Send(CanFrame.Create((uint)(0x123 + i), data, 0, (ushort)(fd ? 0x5 : 0)));
                }
                // Receive waits at most about 2 ms: poll, with a pause when nothing came.
                var frames = new CanFrame[16];
                var clock = Stopwatch.StartNew();
                while (received < framesToSend && clock.Elapsed < TimeSpan.FromSeconds(5))
                {
                    int n = connection.Receive(0, frames);
                    for (int i = 0; i < n; ++i)
                        Print(frames[i]);
                    received += n;
                    if (n == 0)
                        Thread.Sleep(1);
                }
            }
        }
        catch (InvalidOperationException error)
        {
            Console.Error.WriteLine(error.Message);
            return 1;
        }
        finally
        {
            NativeMethods.QUILVANE_Exit();
        }
        if (received != framesToSend)
        {
            Console.Error.WriteLine("received {0} of {1} frames", received, framesToSend);
            return 1;
        }
        return 0;
    }

    private static void Print(CanFrame frame)
    {
        string id = frame.Id > 0x7FF ? frame.Id.ToString("X8") : frame.Id.ToString("X3");
        bool fd = (frame.Flags & 0x4) != 0 || frame.DataLength > 8;
        string separator = fd ? "##" + ((frame.Flags & 0x7) | 0x4).ToString("X") : "#";
        string data = string.Concat(frame.Payload().Select(b => b.ToString("X2")));
        Console.WriteLine("can{0} {1}{2}{3}", frame.Channel, id, separator, data);
    }
}
