// quilvane-sim (path in QUILVANE_SIM) as a child process, always bounded by
// --duration and killed on Dispose.
using System;
using System.Diagnostics;

public sealed class SimProcess : IDisposable
{
    private readonly Process process;

    /// <summary>The last word of the simulator's ready line (its address:port), or "" when it did not come up.</summary>
    public string Address { get; private set; }

    public SimProcess(params string[] args)
    {
        var start = new ProcessStartInfo(Environment.GetEnvironmentVariable("QUILVANE_SIM"),
                                         "--duration 30 " + string.Join(" ", args));
        start.UseShellExecute = false;
        start.RedirectStandardOutput = true;
        process = Process.Start(start);
        string line = process.StandardOutput.ReadLine() ?? "";
        string[] words = line.Split(' ');
        Address = words[0] == "ready" ? words[words.Length - 1] : "";
    }

    public ushort Port
    {
        get { return ushort.Parse(Address.Substring(Address.LastIndexOf(':') + 1)); }
    }

    public void Dispose()
    {
        if (!process.HasExited)
            process.Kill();
        process.WaitForExit();
        process.Dispose();
    }
}
