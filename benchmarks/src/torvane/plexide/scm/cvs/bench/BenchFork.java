package torvane.plexide.scm.cvs.bench;

import com.sun.jna.Pointer;
import java.util.Arrays;
import java.util.regex.Pattern;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKey;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyNameIterator;

/**
 * One forked JVM of the benchmark: fills the emulated registry of its own process, runs every
 * row and prints, for BenchMain to collect,
 *
 * <pre>
 *   ROW      id  group  kind  bytes  label
 *   SAMPLES  id  fork   v1,v2,...
 *   OTHERS   id  fork   cores  attempts
 * </pre>
 *
 * where cores is the CPU other processes took while the kept samples were measured. A row
 * measured while others took more than maxOthersCores is measured again, after waiting for a
 * quiet moment, up to `retries` times and within the fork's retry budget; the last attempt is
 * kept.
 *
 * where kind is "ns" (nanoseconds per operation or per name) or "ops" (operations per second).
 */
public final class BenchFork {
    static final int ROOT = CVSWin32RegKey.HKEY_CURRENT_USER;
    static final String BASE = "Software\\CVSWin32RegKeyBench";
    static final String VALUES = BASE + "\\Values";
    static final String WRITES = BASE + "\\Writes";
    static final String SIZES = BASE + "\\Sizes";

    static final int REG_SZ = 1;
    static final int REG_BINARY = 3;
    static final int REG_DWORD = 4;

    /** The short REG_SZ every single-call row reads. */
    static final String TEXT = "C:\\CVS\\Repository";
    static final int NUMBER = 0x12345678;

    static final int[] KEY_SIZES = {10, 1_000, 100_000};
    static final int[] VALUE_SIZES = {1, 1 << 10, 1 << 16, 1 << 20};
    static final int[] THREADS = {1, 2, 4};

    private final Harness harness;
    private final int fork;
    private final BenchMain.Config config;
    private final Pattern filter;
    /** Time left for measuring rows again, in nanoseconds. */
    private long retryBudgetNs;

    private BenchFork(Harness harness, int fork, BenchMain.Config config) {
        this.harness = harness;
        this.fork = fork;
        this.config = config;
        this.filter = config.filter;
        this.retryBudgetNs = config.retryBudgetS * 1_000_000_000L;
    }

    public static void main(String[] args) throws Exception {
        BenchMain.Config config = BenchMain.Config.fromEnvironment();
        BenchFork bench = new BenchFork(
                new Harness(config.batchMs, config.warmupMs, config.batches),
                Integer.parseInt(args[0]), config);
        bench.setUp();
        bench.run();
        System.out.println("SINK\t" + bench.harness.sink());
    }

    private static void check(String what, int status) {
        if (status != 0) {
            throw new IllegalStateException(what + " failed with error " + status);
        }
    }

    private static void expect(String what, boolean ok) {
        if (!ok) {
            throw new IllegalStateException("unexpected result: " + what);
        }
    }

    static byte[] bytes(int size, int seed) {
        byte[] data = new byte[size];
        for (int i = 0; i < size; i++) {
            data[i] = (byte) (i * 31 + seed);
        }
        return data;
    }

    static byte[] dword(int number) {
        return new byte[] {(byte) number, (byte) (number >> 8), (byte) (number >> 16),
            (byte) (number >> 24)};
    }

    static byte[] text(String s) {
        byte[] chars = s.getBytes(java.nio.charset.StandardCharsets.UTF_8);
        return Arrays.copyOf(chars, chars.length + 1);
    }

    static String keysPath(int count) {
        return BASE + "\\Keys" + count;
    }

    static String threadPath(int index) {
        return BASE + "\\Thread" + index;
    }

    /** Value names spread evenly over a filled key, all of the same length. */
    static String[] spreadNames(int count) {
        String[] names = new String[8];
        for (int i = 0; i < names.length; i++) {
            names[i] = String.format("v%06d", (int) ((long) i * count / names.length));
        }
        return names;
    }

    private void setUp() {
        check("Text", BenchNative.putValue(ROOT, VALUES, "Text", REG_SZ, text(TEXT)));
        check("Number", BenchNative.putValue(ROOT, VALUES, "Number", REG_DWORD, dword(NUMBER)));
        check("Blob", BenchNative.putValue(ROOT, VALUES, "Blob", REG_BINARY, bytes(1024, 1)));
        check("Writes", BenchNative.putValue(ROOT, WRITES, "Text", REG_SZ, text(TEXT)));
        for (int count : KEY_SIZES) {
            check("Keys" + count, BenchNative.fillKey(ROOT, keysPath(count), count));
        }
        for (int size : VALUE_SIZES) {
            check("Sizes " + size,
                    BenchNative.putValue(ROOT, SIZES, "b" + size, REG_BINARY, bytes(size, 7)));
        }
        for (int t = 0; t < 4; t++) {
            check("Thread" + t, BenchNative.putValue(ROOT, threadPath(t), "Text", REG_SZ,
                    text(TEXT)));
        }
        BenchNative.prepareJniWork(TEXT);
        check("slot 0", BenchNative.prepareRegistryWork(0, ROOT, VALUES, "Text"));
        for (int t = 0; t < 4; t++) {
            check("slot " + (t + 1),
                    BenchNative.prepareRegistryWork(t + 1, ROOT, threadPath(t), "Text"));
        }
    }

    private boolean selected(String id) {
        return filter == null || filter.matcher(id).find();
    }

    private void row(String id, String group, String kind, long bytes, String label) {
        System.out.println("ROW\t" + id + "\t" + group + "\t" + kind + "\t" + bytes + "\t" + label);
    }

    private void samples(String id, double[] values) {
        StringBuilder line = new StringBuilder("SAMPLES\t").append(id).append('\t').append(fork)
                .append('\t');
        for (int i = 0; i < values.length; i++) {
            if (i > 0) {
                line.append(',');
            }
            line.append(values[i]);
        }
        System.out.println(line);
        System.out.flush();
    }

    /** A row waiting to be measured with the others of its group. */
    private static final class Pending {
        final String id;
        final int units;
        final Harness.Op op;          // a timed row
        final Harness.Op[] threadOps; // a throughput row: one operation per thread

        Pending(String id, int units, Harness.Op op, Harness.Op[] threadOps) {
            this.id = id;
            this.units = units;
            this.op = op;
            this.threadOps = threadOps;
        }
    }

    private final java.util.List<Pending> pending = new java.util.ArrayList<>();

    /** Adds a row of nanoseconds per unit to the group that {@link #measureGroup} measures. */
    private void timed(String id, String group, long bytes, String label, int units,
            Harness.Op op) throws Exception {
        if (!selected(id)) {
            return;
        }
        op.run(1);  // fails here, before timing, if the row is broken
        row(id, group, "ns", bytes, label);
        pending.add(new Pending(id, units, op, null));
    }

    /**
     * Measures the pending rows together, their batches taken in turn, again while other
     * processes took too much CPU (see the class comment), and prints the kept samples. The
     * rows of a group are those whose ratios are compared.
     */
    private void measureGroup() throws Exception {
        if (pending.isEmpty()) {
            return;
        }
        Pending[] rows = pending.toArray(new Pending[0]);
        pending.clear();
        boolean threads = rows[0].threadOps != null;
        int handles = BenchNative.openHandleCount();
        for (int attempt = 1;; attempt++) {
            long started = System.nanoTime();
            CpuMeter start = CpuMeter.now();
            double[][] samples;
            if (threads) {
                Harness.Op[][] ops = new Harness.Op[rows.length][];
                for (int i = 0; i < rows.length; i++) {
                    ops[i] = rows[i].threadOps;
                }
                samples = harness.throughput(ops);
            } else {
                Harness.Op[] ops = new Harness.Op[rows.length];
                int[] units = new int[rows.length];
                for (int i = 0; i < rows.length; i++) {
                    ops[i] = rows[i].op;
                    units[i] = rows[i].units;
                }
                samples = harness.time(ops, units);
            }
            double others = CpuMeter.now().othersSince(start);
            boolean again = others > config.maxOthersCores && attempt <= config.retries
                    && retryBudgetNs > 0;
            if (!again) {
                for (int i = 0; i < rows.length; i++) {
                    samples(rows[i].id, samples[i]);
                    System.out.println("OTHERS\t" + rows[i].id + "\t" + fork + "\t" + others
                            + "\t" + attempt);
                }
                break;
            }
            waitForQuiet();
            retryBudgetNs -= System.nanoTime() - started;
        }
        expect("the rows leave no key open", BenchNative.openHandleCount() == handles);
    }

    /** Waits until other processes take under maxOthersCores for a second, or 20 s at most. */
    private void waitForQuiet() throws InterruptedException {
        long deadline = System.nanoTime() + 20_000_000_000L;
        while (System.nanoTime() < deadline) {
            CpuMeter start = CpuMeter.now();
            Thread.sleep(1000);
            if (CpuMeter.now().othersSince(start) <= config.maxOthersCores) {
                return;
            }
        }
    }

    private void run() throws Exception {
        final CVSWin32RegKey values = new CVSWin32RegKey(ROOT, VALUES);
        final CVSWin32RegKey writes = new CVSWin32RegKey(ROOT, WRITES);
        final CVSWin32RegKey sizes = new CVSWin32RegKey(ROOT, SIZES);

        expect("getValue Text", TEXT.equals(values.getValue("Text")));
        expect("getValue Number", Integer.valueOf(NUMBER).equals(values.getValue("Number")));
        expect("getValue Blob", Arrays.equals(bytes(1024, 1), (byte[]) values.getValue("Blob")));
        expect("jniWork", TEXT.equals(BenchNative.jniWork(values, "Text")));
        expect("registryWork", BenchNative.registryWork(0) == 0);

        // The isolated parts of a getValue of a short REG_SZ, and the whole.
        timed("floor", "call", 0, "empty native call (floor)", 1, n -> {
            for (int i = 0; i < n; i++) {
                BenchNative.empty();
            }
            return n;
        });
        timed("jni_work", "call", 0, "JNI work alone (getValue's JNI calls)", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += BenchNative.jniWork(values, "Text").length();
            }
            return h;
        });
        timed("registry_work", "call", 0, "registry work alone (getValue's registry calls)", 1,
                n -> {
                    long h = 0;
                    for (int i = 0; i < n; i++) {
                        h += BenchNative.registryWork(0);
                    }
                    return h;
                });
        timed("get_sz", "call", 0, "getValue REG_SZ (17 chars)", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += ((String) values.getValue("Text")).length();
            }
            return h;
        });
        measureGroup();
        timed("get_dword", "call", 0, "getValue REG_DWORD", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += (Integer) values.getValue("Number");
            }
            return h;
        });
        timed("get_bin1k", "call", 0, "getValue REG_BINARY 1 KiB", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += ((byte[]) values.getValue("Blob")).length;
            }
            return h;
        });

        measureGroup();
        final Integer number = NUMBER;
        final byte[] blob = bytes(1024, 3);
        timed("set_sz", "call", 0, "setValue String (17 chars)", 1, n -> {
            for (int i = 0; i < n; i++) {
                writes.setValue("Text", TEXT);
            }
            return n;
        });
        timed("set_dword", "call", 0, "setValue Integer", 1, n -> {
            for (int i = 0; i < n; i++) {
                writes.setValue("Number", number);
            }
            return n;
        });
        timed("set_bin1k", "call", 0, "setValue byte[1024]", 1, n -> {
            for (int i = 0; i < n; i++) {
                writes.setValue("Blob", blob);
            }
            return n;
        });
        // A delete needs a value to delete: each pair re-creates it. Delete = pair - set_dword.
        timed("set_delete_pair", "call", 0, "setValue Integer + setValue null (pair)", 1, n -> {
            for (int i = 0; i < n; i++) {
                writes.setValue("Gone", number);
                writes.setValue("Gone", null);
            }
            return n;
        });

        measureGroup();
        final JnaReader.Registry registry = JnaReader.registry();
        final Pointer root = JnaReader.root(ROOT);
        expect("JNA read", TEXT.equals(JnaReader.readString(registry, root, VALUES, "Text")));
        expect("JNA direct read", TEXT.equals(JnaReader.readStringDirect(root, VALUES, "Text")));
        timed("jna_interface", "call", 0, "same calls via JNA, interface mapping", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += JnaReader.readString(registry, root, VALUES, "Text").length();
            }
            return h;
        });
        timed("jna_direct", "call", 0, "same calls via JNA, direct mapping", 1, n -> {
            long h = 0;
            for (int i = 0; i < n; i++) {
                h += JnaReader.readStringDirect(root, VALUES, "Text").length();
            }
            return h;
        });

        measureGroup();
        // Key size: the same reads on keys of 10, 1,000 and 100,000 values.
        for (int count : KEY_SIZES) {
            final CVSWin32RegKey key = new CVSWin32RegKey(ROOT, keysPath(count));
            final String[] names = spreadNames(count);
            timed("get_keys_" + count, "keys", 0, "getValue REG_DWORD, key of " + count
                    + " values", 1, n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            h += (Integer) key.getValue(names[i & 7]);
                        }
                        return h;
                    });
        }
        measureGroup();
        for (int count : KEY_SIZES) {
            final CVSWin32RegKey key = new CVSWin32RegKey(ROOT, keysPath(count));
            final int expected = count;
            timed("walk_keys_" + count, "keys", 0, "walk per name (hasNext+next), key of "
                    + count + " values", count, n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            int names = 0;
                            CVSWin32RegKeyNameIterator walk = key.valueNames();
                            while (walk.hasNext()) {
                                h += walk.next().length();
                                names++;
                            }
                            if (names != expected) {
                                throw new IllegalStateException("walked " + names + " names");
                            }
                        }
                        return h;
                    });
        }

        measureGroup();
        // Value size: getValue of REG_BINARY values, beside copies of the same size (one group
        // per size: the native copy's buffers are those of one size at a time).
        for (int size : VALUE_SIZES) {
            final String name = "b" + size;
            if (selected("get_size_" + size)) {
                expect("getValue " + name,
                        Arrays.equals(bytes(size, 7), (byte[]) sizes.getValue(name)));
            }
            timed("get_size_" + size, "sizes", size, "getValue REG_BINARY " + sizeLabel(size), 1,
                    n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            h += ((byte[]) sizes.getValue(name)).length;
                        }
                        return h;
                    });
            check("prepareMemcpy", BenchNative.prepareMemcpy(size));
            timed("memcpy_size_" + size, "sizes", size, "native memcpy " + sizeLabel(size)
                    + " (one JNI call each)", 1, n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            h += BenchNative.memcpyOnce();
                        }
                        return h;
                    });
            final byte[] from = bytes(size, 5);
            final byte[] to = new byte[size];
            timed("arraycopy_size_" + size, "sizes", size, "System.arraycopy " + sizeLabel(size),
                    1, n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            System.arraycopy(from, 0, to, 0, size);
                            h += to[size - 1];
                        }
                        return h;
                    });
            // What any Java method returning a fresh array pays: a new array and one copy into
            // it (C2 skips zeroing an array that the copy fills at once). The array is kept
            // where the JIT must assume it is read, so that no copy is optimised away.
            final byte[][] kept = new byte[1][];
            timed("copyof_size_" + size, "sizes", size, "Arrays.copyOf (new array) "
                    + sizeLabel(size), 1, n -> {
                        long h = 0;
                        for (int i = 0; i < n; i++) {
                            kept[0] = Arrays.copyOf(from, size);
                            h += kept[0].length;
                        }
                        return h;
                    });
            measureGroup();
        }

        // Threads: each reads its own key. The JNI work, its two field lookups and the
        // registry work alone, in the same threads, show which part stops the whole scaling.
        for (int threads : THREADS) {
            threadRow("threads_" + threads, threads, "getValue REG_SZ", t -> {
                final CVSWin32RegKey key = new CVSWin32RegKey(ROOT, threadPath(t));
                return n -> {
                    long h = 0;
                    for (int i = 0; i < n; i++) {
                        h += ((String) key.getValue("Text")).length();
                    }
                    return h;
                };
            });
        }
        measureGroup();
        for (int threads : new int[] {1, 2}) {
            threadRow("threads_jni_" + threads, threads, "JNI work alone", t -> {
                final CVSWin32RegKey key = new CVSWin32RegKey(ROOT, threadPath(t));
                return n -> {
                    long h = 0;
                    for (int i = 0; i < n; i++) {
                        h += BenchNative.jniWork(key, "Text").length();
                    }
                    return h;
                };
            });
        }
        measureGroup();
        for (int threads : new int[] {1, 2}) {
            threadRow("threads_fieldids_" + threads, threads,
                    "GetObjectClass + 2 GetFieldID (m_root, m_path)", t -> {
                        final CVSWin32RegKey key = new CVSWin32RegKey(ROOT, threadPath(t));
                        return n -> {
                            long h = 0;
                            for (int i = 0; i < n; i++) {
                                h += BenchNative.fieldIds(key);
                            }
                            return h;
                        };
                    });
        }
        measureGroup();
        for (int threads : new int[] {1, 2}) {
            threadRow("threads_registry_" + threads, threads, "registry work alone", t -> {
                final int slot = t + 1;
                return n -> {
                    long h = 0;
                    for (int i = 0; i < n; i++) {
                        h += BenchNative.registryWork(slot);
                    }
                    return h;
                };
            });
        }
        measureGroup();
        expect("no key left open", BenchNative.openHandleCount() == 0);
    }

    /** Adds a throughput row, one operation per thread, to the group being gathered. */
    private void threadRow(String id, int threads, String what,
            java.util.function.IntFunction<Harness.Op> opOfThread) throws Exception {
        if (!selected(id)) {
            return;
        }
        Harness.Op[] ops = new Harness.Op[threads];
        for (int t = 0; t < threads; t++) {
            ops[t] = opOfThread.apply(t);
            ops[t].run(1);
        }
        row(id, "threads", "ops", 0, what + ", " + threads + " thread" + (threads > 1 ? "s" : "")
                + ", own key each");
        pending.add(new Pending(id, 1, null, ops));
    }

    static String sizeLabel(int size) {
        if (size >= 1 << 20) {
            return (size >> 20) + " MiB";
        }
        if (size >= 1 << 10) {
            return (size >> 10) + " KiB";
        }
        return size + " B";
    }
}
