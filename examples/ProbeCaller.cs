// Asking platform_probe.exe from a C# launcher (WPF, WinForms, a service):
// one class, .NET Framework 4.x or .NET 6+, nothing beyond the base library.
//
//   ProbeAnswer answer = ProbeCaller.Query(@"C:\Games\Launcher\platform_probe.exe", 35000);
//   if (answer.Platform == CloudPlatform.InCloud) { ... }
//   // Failed: answer.Kind, answer.Reason and answer.Detail say why; treat it
//   // like NotInCloud.
//
// Call it from a worker thread (Task.Run), never from the UI thread: it
// blocks for as long as the probe runs, up to the time limit.
//
// It keeps the probe's calling rules (CALLING.txt): the absolute path and
// nothing else, no window, standard input and error closed, at most 4096 bytes
// of standard output, a time limit after which the probe is killed, and the
// output compared exactly with the two reports. It never waits for the pipe to
// close (no ReadToEnd, no ReadLine, no parameterless WaitForExit): a process
// started inside the probe can hold the pipe open long after the probe has
// exited. The probe's exit decides; once it has exited, everything it wrote
// is already in the pipe and arrives at once.
//
// Compiled on its own it is also a program that asks once and prints what
// came back:  ProbeCaller.exe PROBE_PATH TIMEOUT_MS
using System;
using System.ComponentModel;
using System.Diagnostics;
using System.IO;
using System.Text.RegularExpressions;
using System.Threading;

public enum CloudPlatform { InCloud, NotInCloud, Failed }

// The C++ caller's kinds (probe_caller.h), with the same meaning of Detail.
public enum FailureKind { None, PathRefused, CouldNotStart, TimedOut, WroteTooMuch, NotAReport, ExitCode, Crashed, ReadFailed }

public sealed class ProbeAnswer {
  public CloudPlatform Platform;
  public FailureKind Kind;
  public string Reason;
  public long Detail;

  internal ProbeAnswer(CloudPlatform platform, FailureKind kind, string reason, long detail) {
    Platform = platform;
    Kind = kind;
    Reason = reason;
    Detail = detail;
  }

  internal static ProbeAnswer Failed(FailureKind kind, string reason, long detail) {
    return new ProbeAnswer(CloudPlatform.Failed, kind, reason, detail);
  }
}

public static class ProbeCaller {
  const int MaxOutput = 4096;
  // After the exit: the pipe's last bytes arrive within this quiet time.
  const int DrainMs = 50;
  // After a kill: how long to wait until the probe is gone.
  const int ReapMs = 1000;

  // Reads the probe's standard output on a thread of its own, so that the
  // caller's thread waits only for the probe and the clock.
  sealed class Reader {
    readonly Stream stream;
    readonly byte[] buffer = new byte[MaxOutput + 1];
    int length;
    bool ended;
    Exception error;

    public Reader(Stream stream) {
      this.stream = stream;
      new Thread(Run) { IsBackground = true, Name = "platform_probe output" }.Start();
    }

    void Run() {
      try {
        for (;;) {
          int room;
          lock (this) room = buffer.Length - length;
          if (room == 0) break;
          int read = stream.Read(buffer, MaxOutput + 1 - room, room);
          lock (this) {
            if (read == 0) break;
            length += read;
            Monitor.PulseAll(this);
          }
        }
      } catch (Exception e) {
        lock (this) error = e;
      }
      lock (this) {
        ended = true;
        Monitor.PulseAll(this);
      }
    }

    public int Length { get { lock (this) return length; } }

    // Waits until the stream ends or nothing new arrives for quietMs (the
    // reader may then stay blocked on a pipe that someone else holds; it is
    // a background thread and ends with the pipe). Returns the bytes so far.
    public byte[] Drain(int quietMs, out Exception failure) {
      lock (this) {
        while (!ended && length <= MaxOutput) {
          int before = length;
          Monitor.Wait(this, quietMs);
          if (length == before) break;
        }
        failure = error;
        byte[] output = new byte[length];
        Array.Copy(buffer, output, length);
        return output;
      }
    }
  }

  public static ProbeAnswer Query(string probePath, int timeoutMs) {
    // An absolute path that is already its own full form (as Path.Combine and
    // Path.GetFullPath write it): not "C:x", "\x" or ".\x", nor "C:/x" or "C:\a\..\x".
    bool absolute;
    try {
      absolute = probePath != null && Path.IsPathRooted(probePath) && Path.GetFullPath(probePath) == probePath;
    } catch (Exception) {
      absolute = false;
    }
    if (!absolute) return ProbeAnswer.Failed(FailureKind.PathRefused, "the probe path is not absolute", 0);
    if (!probePath.EndsWith(".exe", StringComparison.OrdinalIgnoreCase)) {
      return ProbeAnswer.Failed(FailureKind.PathRefused, "the probe path does not name an .exe", 0);
    }

    var start = new ProcessStartInfo(probePath) {
      Arguments = "",
      UseShellExecute = false,
      CreateNoWindow = true,
      RedirectStandardInput = true,
      RedirectStandardOutput = true,
      RedirectStandardError = true,
    };
    Process probe;
    try {
      probe = Process.Start(start);
    } catch (Win32Exception e) {
      return ProbeAnswer.Failed(FailureKind.CouldNotStart, "cannot start the probe", e.NativeErrorCode);
    } catch (Exception e) {
      return ProbeAnswer.Failed(FailureKind.CouldNotStart, "cannot start the probe: " + e.Message, 0);
    }
    // Standard input at its end at once; standard error leads nowhere.
    probe.StandardInput.Close();
    probe.StandardError.Close();
    var reader = new Reader(probe.StandardOutput.BaseStream);

    var clock = Stopwatch.StartNew();
    for (;;) {
      if (reader.Length > MaxOutput) {
        return End(probe, ProbeAnswer.Failed(FailureKind.WroteTooMuch, "the probe wrote too much", reader.Length));
      }
      long left = (long)timeoutMs - clock.ElapsedMilliseconds;
      if (timeoutMs != Timeout.Infinite && left <= 0) {
        if (probe.WaitForExit(0)) break;
        return End(probe, ProbeAnswer.Failed(FailureKind.TimedOut, "the probe did not exit in time", timeoutMs));
      }
      int slice = timeoutMs == Timeout.Infinite || left > 10 ? 10 : (int)left;
      if (probe.WaitForExit(slice)) break;
    }

    Exception failure;
    byte[] output = reader.Drain(DrainMs, out failure);
    if (output.Length > MaxOutput) {
      return ProbeAnswer.Failed(FailureKind.WroteTooMuch, "the probe wrote too much", output.Length);
    }
    if (failure != null) {
      return ProbeAnswer.Failed(FailureKind.ReadFailed, "cannot read the probe's output: " + failure.Message, 0);
    }
    return Judge(output, unchecked((uint)probe.ExitCode));
  }

  static ProbeAnswer End(Process probe, ProbeAnswer answer) {
    try {
      probe.Kill();
      probe.WaitForExit(ReapMs);
    } catch (Exception) {
      // It ended by itself meanwhile.
    }
    return answer;
  }

  static readonly Regex Report = new Regex("\\A(\\{\"cloud_platform\":\"STP\"\\}|\\{\\})\r?\n\\z");

  static ProbeAnswer Judge(byte[] output, uint exitCode) {
    if ((exitCode & 0xF0000000u) == 0xC0000000u) {
      return ProbeAnswer.Failed(FailureKind.Crashed, "the probe crashed (it ended with an exception status)", exitCode);
    }
    if (exitCode != 0) return ProbeAnswer.Failed(FailureKind.ExitCode, "the probe exited with a code other than 0", exitCode);
    if (output.Length == 0) return ProbeAnswer.Failed(FailureKind.NotAReport, "the probe wrote nothing", 0);
    // Latin-1 keeps one character per byte, so nothing but the exact bytes matches.
    var text = System.Text.Encoding.GetEncoding(28591).GetString(output);
    var match = Report.Match(text);
    if (!match.Success) return ProbeAnswer.Failed(FailureKind.NotAReport, "the probe's output is not a report line", output.Length);
    return match.Groups[1].Value == "{}"
        ? new ProbeAnswer(CloudPlatform.NotInCloud, FailureKind.None, "the probe reported no cloud", 0)
        : new ProbeAnswer(CloudPlatform.InCloud, FailureKind.None, "the probe reported the Stratoplay cloud", 0);
  }

  static int Main(string[] args) {
    if (args.Length != 2) {
      Console.Error.WriteLine("usage: ProbeCaller.exe PROBE_PATH TIMEOUT_MS");
      return 2;
    }
    var clock = Stopwatch.StartNew();
    ProbeAnswer answer = Query(args[0], int.Parse(args[1]));
    string name = answer.Platform == CloudPlatform.InCloud ? "in-cloud"
                : answer.Platform == CloudPlatform.NotInCloud ? "not-in-cloud" : "failed";
    Console.Out.Write("answer: " + name + "\nkind: " + Regex.Replace(answer.Kind.ToString(), "(?<=.)([A-Z])", "-$1").ToLowerInvariant() +
                      "\nreason: " + answer.Reason + "\ndetail: " + answer.Detail + "\nelapsed_ms: " + clock.ElapsedMilliseconds + "\n");
    return 0;
  }
}
