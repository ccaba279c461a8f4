package torvane.plexide.scm.cvs.soak;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.PointerByReference;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.NoSuchElementException;
import java.util.Objects;
import java.util.SplittableRandom;
import java.util.TreeMap;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKey;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyException;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyNameIterator;

/**
 * A long run of mixed operations against the emulated registry, one thread, every outcome
 * predicted by a model of what each key holds: gets, sets of every kind, deletes and walks, a
 * share of them with a registry failure injected or on keys that deny access. After a warm-up
 * it measures, over the main run, that no key handle stays open and that the resident memory of
 * the process does not grow.
 *
 * <p>Options: --ops N (default 1000000), --warmup N (200000), --seed N, --rss-limit-kib N
 * (5120). Exits 0 when every check holds, 1 on the first that does not (with the seed, so the
 * run can be repeated exactly).
 */
public final class Soak {
    /** The emulation's functions that the run needs beside the library. */
    interface Emulation extends Library {
        int RegCreateKeyExA(Pointer key, String subKey, int reserved, String keyClass,
                int options, int sam, Pointer security, PointerByReference result, Pointer disposition);

        int RegSetValueExA(Pointer key, String name, int reserved, int type, byte[] data, int size);

        int RegCloseKey(Pointer key);

        int RegDeleteTreeA(Pointer key, String subKey);

        void RegEmuReset();

        int RegEmuOpenHandleCount();

        int RegEmuCallCount(String function);

        int RegEmuFailNextCall(String function, int skip, int error);

        int RegEmuDenyAccess(Pointer key, String subKey, int rights);
    }

    private static final int HKCU_VALUE = CVSWin32RegKey.HKEY_CURRENT_USER;
    private static final Pointer HKCU = new Pointer(HKCU_VALUE);
    private static final String BASE = "Software\\CVSWin32RegKeySoak";
    private static final int KEY_ALL_ACCESS = 0xF003F;
    /** What a reader and a writer ask for, less READ_CONTROL, which both ask for. */
    private static final int READ_RIGHTS = 0x0019;
    private static final int WRITE_RIGHTS = 0x0006;
    private static final int REG_SZ = 1;
    private static final int REG_DWORD = 4;
    /** Errors the injected failures return: not found, denied, bad handle, no memory, more data. */
    private static final int ERROR_MORE_DATA = 234;
    private static final int[] ERRORS = {2, 5, 6, 8, ERROR_MORE_DATA};

    private static final String OPEN_FAILED = "open key failed";
    private static final String QUERY_FAILED = "query value key failed";
    private static final String UNSUPPORTED = "unsupported value type";
    private static final String INFO_FAILED = "query info key failed";
    private static final String ENUM_FAILED = "enum value failed";
    private static final String PAST_END = "past end of enumeration";

    /** The value names of every key; "" is the default value. */
    private static final String[] NAMES = {
        "", "alpha", "Beta", "gamma value", "d", "e1", "e2", "e3", "ZZ",
        "a value name of sixty-odd characters, longer than all the others",
    };

    private final Emulation emu;
    private final SplittableRandom random;
    private final long seed;
    /** The keys the model follows: name order as the walk gives it (insertion order). */
    private final List<KeyModel> keys = new ArrayList<>();
    private KeyModel readDenied;
    private KeyModel writeDenied;
    private final CVSWin32RegKey missing = new CVSWin32RegKey(HKCU_VALUE, BASE + "\\missing");
    private final Map<String, Long> tally = new TreeMap<>();
    private long opNumber;
    private String op = "";

    /** One key and what it holds, by lower-cased name, in the order the walk hands names out. */
    private static final class KeyModel {
        final CVSWin32RegKey key;
        final LinkedHashMap<String, Object> values = new LinkedHashMap<>();

        KeyModel(String path) {
            key = new CVSWin32RegKey(HKCU_VALUE, path);
        }

        Object get(String name) {
            return values.get(name.toLowerCase(Locale.ROOT));
        }

        void put(String name, Object value) {
            values.put(name.toLowerCase(Locale.ROOT), value);
        }

        void remove(String name) {
            values.remove(name.toLowerCase(Locale.ROOT));
        }

        List<String> names() {
            List<String> names = new ArrayList<>();
            for (String lower : values.keySet()) {
                names.add(canonical(lower));
            }
            return names;
        }
    }

    private static String canonical(String lower) {
        for (String name : NAMES) {
            if (name.toLowerCase(Locale.ROOT).equals(lower)) {
                return name;
            }
        }
        throw new IllegalStateException(lower);
    }

    private Soak(Emulation emu, long seed) {
        this.emu = emu;
        this.seed = seed;
        this.random = new SplittableRandom(seed);
    }

    public static void main(String[] args) throws Exception {
        long ops = 1_000_000;
        long warmup = 200_000;
        long seed = System.nanoTime();
        long rssLimitKib = 5120;
        for (int i = 0; i + 1 < args.length; i += 2) {
            long value = Long.parseLong(args[i + 1].replace("_", ""));
            switch (args[i]) {
                case "--ops": ops = value; break;
                case "--warmup": warmup = value; break;
                case "--seed": seed = value; break;
                case "--rss-limit-kib": rssLimitKib = value; break;
                default: throw new IllegalArgumentException("unknown option " + args[i]);
            }
        }
        if (args.length % 2 != 0) {
            throw new IllegalArgumentException("options come in pairs: --name value");
        }
        Emulation emu = Native.load("regemu", Emulation.class);
        Soak soak = new Soak(emu, seed);
        try {
            System.exit(soak.run(ops, warmup, rssLimitKib) ? 0 : 1);
        } catch (Throwable t) {
            System.out.println("soak: FAILED at operation " + soak.opNumber + " (" + soak.op
                    + "), seed " + seed);
            t.printStackTrace(System.out);
            System.exit(1);
        }
    }

    private boolean run(long ops, long warmup, long rssLimitKib) throws Exception {
        System.out.println("soak: seed " + seed + ", " + warmup + " warm-up operations, then "
                + ops);
        setUp();
        long started = System.nanoTime();
        for (opNumber = 0; opNumber < warmup; opNumber++) {
            step();
        }
        long rssBefore = settledRssKib();
        int handlesBefore = emu.RegEmuOpenHandleCount();
        long measured = System.nanoTime();
        // The lowest reading on the way too: a drop after warm-up must not hide a later leak.
        long rssLowest = rssBefore;
        tally.clear();
        for (long i = 0; i < ops; i++, opNumber++) {
            step();
            if ((i + 1) % 100_000 == 0) {
                expectNoOpenHandle();
                long rss = rssKib();
                rssLowest = Math.min(rssLowest, rss);
                System.out.printf("soak: %,d operations, %.1f s, VmRSS %,d KiB%n", i + 1,
                        (System.nanoTime() - measured) / 1e9, rss);
            }
        }
        double seconds = (System.nanoTime() - measured) / 1e9;
        long rssAfter = settledRssKib();
        int handlesAfter = emu.RegEmuOpenHandleCount();
        long growth = rssAfter - rssBefore;
        long growthFromLowest = rssAfter - rssLowest;

        System.out.println("soak: outcomes " + tally);
        System.out.printf("soak: %,d operations in %.1f s (%.1f s in all with warm-up)%n", ops,
                seconds, (System.nanoTime() - started) / 1e9);
        System.out.printf("soak: open key handles %d before, %d after%n", handlesBefore,
                handlesAfter);
        System.out.printf("soak: VmRSS %,d KiB before, %,d KiB after, growth %,d KiB, %,d KiB from"
                + " the lowest reading (limit %,d)%n", rssBefore, rssAfter, growth,
                growthFromLowest, rssLimitKib);
        boolean passed = handlesBefore == 0 && handlesAfter == 0 && growth < rssLimitKib
                && growthFromLowest < rssLimitKib;
        System.out.println("soak: " + (passed ? "PASSED" : "FAILED"));
        return passed;
    }

    /** Makes the keys afresh: four plain ones, one that denies reading, one that denies writing. */
    private void setUp() {
        emu.RegEmuReset();
        for (int k = 0; k < 4; k++) {
            keys.add(makeKey("k" + k));
        }
        readDenied = makeKey("read-denied");
        writeDenied = makeKey("write-denied");
        // What the write-denied key holds stays as it was made, to be read back throughout.
        for (String name : NAMES) {
            Object value = newValue(name.length() % 3);
            writeDenied.key.setValue(name, value);
            writeDenied.put(name, value);
        }
        check(emu.RegEmuDenyAccess(HKCU, readDenied.key.getPath(), READ_RIGHTS) == 0, "deny");
        check(emu.RegEmuDenyAccess(HKCU, writeDenied.key.getPath(), WRITE_RIGHTS) == 0, "deny");
        expectNoOpenHandle();
    }

    private KeyModel makeKey(String name) {
        KeyModel model = new KeyModel(BASE + "\\" + name);
        PointerByReference result = new PointerByReference();
        check(emu.RegCreateKeyExA(HKCU, model.key.getPath(), 0, null, 0, KEY_ALL_ACCESS, null,
                result, null) == 0, "RegCreateKeyExA " + name);
        check(emu.RegCloseKey(result.getValue()) == 0, "RegCloseKey");
        return model;
    }

    /** One operation, chosen at random, and the check of its outcome against the model. */
    private void step() {
        KeyModel model = keys.get(random.nextInt(keys.size()));
        String name = NAMES[random.nextInt(NAMES.length)];
        int pick = random.nextInt(100);
        if (pick < 28) {
            get(model, name);
        } else if (pick < 52) {
            set(model, name, newValue(random.nextInt(3)));
        } else if (pick < 60) {
            op = "delete " + name;
            model.key.setValue(name, null);
            model.remove(name);
            count("delete");
        } else if (pick < 74) {
            walk(model);
        } else if (pick < 80) {
            denied(name);
        } else if (pick < 83) {
            onMissingKey(name);
        } else if (pick < 85) {
            unsupported(model, name);
        } else {
            injected(model, name);
        }
    }

    private void get(KeyModel model, String name) {
        // Names are found whatever their case.
        String asked = random.nextBoolean() ? name : name.toUpperCase(Locale.ROOT);
        op = "get " + asked;
        Object expected = model.get(name);
        if (expected == null) {
            expectThrows(CVSWin32RegKeyException.class, QUERY_FAILED, () -> model.key.getValue(asked));
            count("get absent");
        } else {
            expectValue(expected, model.key.getValue(random.nextInt(10) == 0 && name.isEmpty()
                    ? null : asked));
            count("get " + kind(expected));
        }
    }

    private void set(KeyModel model, String name, Object value) {
        op = "set " + name + " to a " + kind(value);
        model.key.setValue(name.isEmpty() && random.nextBoolean() ? null : name, value);
        model.put(name, value);
        count("set " + kind(value));
    }

    private void walk(KeyModel model) {
        op = "walk " + model.key.getPath();
        List<String> expected = model.names();
        CVSWin32RegKeyNameIterator walk = model.key.valueNames();
        int stopAfter = random.nextInt(3) == 0 ? random.nextInt(expected.size() + 1) : -1;
        List<String> names = new ArrayList<>();
        boolean askFirst = random.nextBoolean();
        while (names.size() != stopAfter && (!askFirst || walk.hasNext())) {
            if (!askFirst && names.size() == expected.size()) {
                break;
            }
            names.add(walk.next());
        }
        if (names.size() == stopAfter) {
            walk.close();
            check(names.equals(expected.subList(0, stopAfter)), "names before the close " + names
                    + ", expected the first " + stopAfter + " of " + expected);
            expectEnded(walk);
            count("walk closed early");
            return;
        }
        check(names.equals(expected), "walk gave " + names + ", expected " + expected);
        expectEnded(walk);
        count("walk");
    }

    /** Reads and walks of the read-denied key fail to open; writes of the write-denied key too. */
    private void denied(String name) {
        switch (random.nextInt(5)) {
            case 0:
                op = "get on the read-denied key";
                expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED,
                        () -> readDenied.key.getValue(name));
                break;
            case 1: {
                op = "walk on the read-denied key";
                CVSWin32RegKeyNameIterator walk = readDenied.key.valueNames();
                expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED, walk::hasNext);
                walk.close();
                expectEnded(walk);
                break;
            }
            case 2:
                // Writing is not reading: the read-denied key takes it.
                op = "set on the read-denied key";
                readDenied.key.setValue(name, newValue(random.nextInt(3)));
                break;
            case 3:
                op = "set or delete on the write-denied key";
                expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED,
                        () -> writeDenied.key.setValue(name, random.nextBoolean() ? null : 1));
                break;
            default:
                op = "get on the write-denied key";
                expectValue(writeDenied.get(name), writeDenied.key.getValue(name));
                break;
        }
        count("denied key");
    }

    private void onMissingKey(String name) {
        op = "on the missing key";
        switch (random.nextInt(4)) {
            case 0: expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED, () -> missing.getValue(name)); break;
            case 1: expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED, () -> missing.setValue(name, "x")); break;
            case 2: expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED, () -> missing.setValue(name, null)); break;
            default: expectThrows(CVSWin32RegKeyException.class, OPEN_FAILED, () -> missing.valueNames().next()); break;
        }
        count("missing key");
    }

    private void unsupported(KeyModel model, String name) {
        Object[] others = {5L, Boolean.TRUE, new int[] {1}, new char[] {'c'}, new Object(), 1.5};
        Object value = others[random.nextInt(others.length)];
        op = "set " + name + " to a " + value.getClass().getSimpleName();
        expectThrows(CVSWin32RegKeyException.class, UNSUPPORTED, () -> model.key.setValue(name, value));
        Object kept = model.get(name);
        if (kept == null) {
            expectThrows(CVSWin32RegKeyException.class, QUERY_FAILED, () -> model.key.getValue(name));
        } else {
            expectValue(kept, model.key.getValue(name));
        }
        count("unsupported class");
    }

    /** An operation with one registry failure injected where the model says it will be reached. */
    private void injected(KeyModel model, String name) {
        int error = ERRORS[random.nextInt(ERRORS.length)];
        Object present = model.get(name);
        List<String> names = model.names();
        switch (random.nextInt(8)) {
            case 0:
                arm("RegOpenKeyExA", 0, error, "get " + name, () -> expectThrows(
                        CVSWin32RegKeyException.class, OPEN_FAILED, () -> model.key.getValue(name)));
                break;
            case 1: {
                if (present == null) {
                    return;
                }
                int skip = random.nextInt(2);  // the size query or the data query
                arm("RegQueryValueExA", skip, error, "get " + name, () -> expectThrows(
                        CVSWin32RegKeyException.class, QUERY_FAILED, () -> model.key.getValue(name)));
                break;
            }
            case 2: {
                Object value = newValue(random.nextInt(3));
                arm("RegSetValueExA", 0, error, "set " + name, () -> expectThrows(
                        CVSWin32RegKeyException.class, QUERY_FAILED,
                        () -> model.key.setValue(name, value)));
                break;
            }
            case 3:
                arm("RegOpenKeyExA", 0, error, "set " + name, () -> expectThrows(
                        CVSWin32RegKeyException.class, OPEN_FAILED,
                        () -> model.key.setValue(name, 7)));
                break;
            case 4:
                if (present == null) {
                    return;
                }
                // A delete the registry refuses leaves the value and raises, unless the
                // registry says the value is not there.
                arm("RegDeleteValueA", 0, error, "delete " + name, error == 2
                        ? () -> model.key.setValue(name, null)
                        : () -> expectThrows(CVSWin32RegKeyException.class, QUERY_FAILED,
                                () -> model.key.setValue(name, null)));
                break;
            case 5: {
                CVSWin32RegKeyNameIterator walk = model.key.valueNames();
                arm("RegQueryInfoKeyA", 0, error, "walk", () -> expectThrows(
                        CVSWin32RegKeyException.class, INFO_FAILED, walk::hasNext));
                // Left unopened: the next call opens it and it walks as usual.
                List<String> walked = new ArrayList<>();
                walk.forEachRemaining(walked::add);
                check(walked.equals(names), "walk after a failed open gave " + walked);
                break;
            }
            case 6: {
                if (names.isEmpty()) {
                    return;
                }
                int at = random.nextInt(names.size());
                CVSWin32RegKeyNameIterator walk = model.key.valueNames();
                List<String> walked = new ArrayList<>();
                arm("RegEnumValueA", at, error, "walk", () -> {
                    for (int i = 0; i < at; i++) {
                        walked.add(walk.next());
                    }
                    if (error == ERROR_MORE_DATA) {
                        // Too small a buffer, as the walk reads it: asked again with a larger one.
                        walked.add(walk.next());
                    } else {
                        expectThrows(CVSWin32RegKeyException.class, ENUM_FAILED, walk::next);
                    }
                });
                if (error == ERROR_MORE_DATA) {
                    walk.forEachRemaining(walked::add);
                    check(walked.equals(names), "walk through a short buffer gave " + walked);
                } else {
                    check(walked.equals(names.subList(0, at)), "walk before the failure " + walked);
                }
                expectEnded(walk);
                break;
            }
            default: {
                CVSWin32RegKeyNameIterator walk = model.key.valueNames();
                arm("RegOpenKeyExA", 0, error, "walk", () -> expectThrows(
                        CVSWin32RegKeyException.class, OPEN_FAILED, walk::next));
                walk.close();
                expectEnded(walk);
                break;
            }
        }
        // Whatever failed, the value is as the model has it.
        Object now = model.get(name);
        if (now == null) {
            expectThrows(CVSWin32RegKeyException.class, QUERY_FAILED, () -> model.key.getValue(name));
        } else {
            expectValue(now, model.key.getValue(name));
        }
    }

    /** Fails `skip` calls later, runs `call`, and checks the failure was reached. */
    private void arm(String function, int skip, int error, String what, Runnable call) {
        op = what + " with " + function + " failing after " + skip + " with " + error;
        int before = emu.RegEmuCallCount(function);
        check(emu.RegEmuFailNextCall(function, skip, error) == 0, "RegEmuFailNextCall");
        call.run();
        check(emu.RegEmuCallCount(function) - before > skip, "the failure was not reached");
        count("injected " + function);
    }

    private Object newValue(int kind) {
        switch (kind) {
            case 0: {
                // Mostly short; now and then long, with NUL, surrogates (paired and not) and
                // characters of every UTF-8 length.
                int length = random.nextInt(20) == 0 ? random.nextInt(8192) : random.nextInt(40);
                char[] text = new char[length];
                for (int i = 0; i < length; i++) {
                    text[i] = random.nextInt(4) == 0 ? (char) random.nextInt(0x10000)
                            : (char) ('a' + random.nextInt(26));
                }
                return new String(text);
            }
            case 1:
                return random.nextInt();
            default: {
                int length = random.nextInt(20) == 0 ? random.nextInt(64 * 1024 + 1)
                        : random.nextInt(64);
                byte[] data = new byte[length];
                random.nextBytes(data);
                return data;
            }
        }
    }

    private void expectValue(Object expected, Object actual) {
        boolean equal = expected instanceof byte[] && actual instanceof byte[]
                ? Arrays.equals((byte[]) expected, (byte[]) actual)
                : Objects.equals(expected, actual);
        check(equal, "read a " + kind(actual) + " other than the " + kind(expected) + " written");
    }

    private void expectEnded(CVSWin32RegKeyNameIterator walk) {
        check(!walk.hasNext(), "an ended walk has a next");
        expectThrows(NoSuchElementException.class, PAST_END, walk::next);
        check(emu.RegEmuOpenHandleCount() == 0, "an ended walk holds a key");
    }

    private static void expectThrows(Class<? extends RuntimeException> type, String message,
            Runnable call) {
        try {
            call.run();
        } catch (RuntimeException e) {
            if (e.getClass() == type && message.equals(e.getMessage())) {
                return;
            }
            throw new IllegalStateException("expected " + type.getSimpleName() + " \"" + message
                    + "\"", e);
        }
        throw new IllegalStateException("expected " + type.getSimpleName() + " \"" + message
                + "\", nothing was thrown");
    }

    private void expectNoOpenHandle() {
        int open = emu.RegEmuOpenHandleCount();
        check(open == 0, open + " key handles open between operations");
    }

    private static void check(boolean condition, String what) {
        if (!condition) {
            throw new IllegalStateException(what);
        }
    }

    private void count(String what) {
        tally.merge(what, 1L, Long::sum);
    }

    private static String kind(Object value) {
        return value == null ? "nothing" : value instanceof byte[] ? "byte[]"
                : value.getClass().getSimpleName();
    }

    /**
     * The resident size once the keys hold nothing and the heap has been collected, so that what
     * is compared is what the run kept, not what it happens to hold at that moment.
     */
    private long settledRssKib() throws IOException, InterruptedException {
        for (KeyModel model : keys) {
            for (String name : model.names()) {
                model.key.setValue(name, null);
            }
            model.values.clear();
        }
        for (String name : NAMES) {
            readDenied.key.setValue(name, null);  // deleting is writing, which it allows
        }
        for (int i = 0; i < 3; i++) {
            System.gc();
            Thread.sleep(100);
        }
        return rssKib();
    }

    private static long rssKib() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }
}
