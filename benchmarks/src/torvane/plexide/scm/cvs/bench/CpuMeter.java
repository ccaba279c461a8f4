package torvane.plexide.scm.cvs.bench;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * How much CPU other processes took while a row ran: the machine's busy time (/proc/stat) less
 * this JVM's own (/proc/self/stat), per second of wall time, in cores. On a 2-core machine a
 * value near 0 means the row had the machine to itself.
 */
final class CpuMeter {
    /** Linux's USER_HZ, the unit of both files, on every common architecture. */
    private static final double TICKS_PER_SECOND = 100;

    private final long busy;
    private final long own;
    private final long nanos;

    private CpuMeter(long busy, long own, long nanos) {
        this.busy = busy;
        this.own = own;
        this.nanos = nanos;
    }

    static CpuMeter now() {
        return new CpuMeter(machineBusyTicks(), ownTicks(), System.nanoTime());
    }

    /** Other processes' CPU since {@code start}, in cores; NaN where /proc cannot be read. */
    double othersSince(CpuMeter start) {
        if (busy < 0 || start.busy < 0 || own < 0 || start.own < 0) {
            return Double.NaN;
        }
        double seconds = (nanos - start.nanos) / 1e9;
        double others = (busy - start.busy) - (own - start.own);
        return Math.max(0, others / TICKS_PER_SECOND / seconds);
    }

    private static long machineBusyTicks() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/stat"))) {
                if (line.startsWith("cpu ")) {
                    String[] f = line.trim().split("\\s+");
                    // user nice system idle iowait irq softirq steal: all but idle and iowait
                    return Long.parseLong(f[1]) + Long.parseLong(f[2]) + Long.parseLong(f[3])
                            + Long.parseLong(f[6]) + Long.parseLong(f[7])
                            + Long.parseLong(f[8]);
                }
            }
        } catch (IOException | RuntimeException e) {
            // fall through: unknown
        }
        return -1;
    }

    private static long ownTicks() {
        try {
            String stat = Files.readString(Path.of("/proc/self/stat"));
            // The command name may hold spaces: count the fields after its closing parenthesis.
            String[] f = stat.substring(stat.lastIndexOf(')') + 2).trim().split("\\s+");
            return Long.parseLong(f[11]) + Long.parseLong(f[12]);  // utime, stime
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }
}
