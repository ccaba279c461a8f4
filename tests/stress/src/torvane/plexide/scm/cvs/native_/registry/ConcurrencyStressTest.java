package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadInfo;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.NoSuchElementException;
import java.util.SplittableRandom;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.LongAdder;
import java.util.concurrent.locks.LockSupport;
import java.util.function.LongFunction;
import java.util.function.ToIntFunction;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.Test;

/**
 * Sixteen threads on three shared keys: readers, writers replacing values with other kinds and
 * sizes, deleters, a renamer and walkers, for a bounded time (5 s; the system property
 * {@code cvsreg.stress.seconds} or the variable {@code CVSREG_STRESS_SECONDS} lengthens it).
 *
 * <p>Every value written carries its own proof: a seed in its header from which the whole value
 * is generated again, so a torn or mixed read cannot pass. Only the exceptions that concurrent
 * changes explain are allowed, and no key handle may be left open.
 */
class ConcurrencyStressTest {
    private static final int KEYS = 3;
    /** The shared value names, of different lengths so that renames outgrow a walk's buffer. */
    private static final String[] NAMES = {
        null, "a", "bb", "value ccc", "a much longer value name, grown past the others dddd",
    };
    private static final int MAX_BYTES = 64 * 1024;
    private static final int MAX_FAILURES = 20;

    /** The roles and how many threads play each: sixteen in all. */
    private enum Role {
        READER(5), WRITER(5), DELETER(1), RENAMER(1), WALKER(4);

        final int threads;

        Role(int threads) {
            this.threads = threads;
        }
    }

    /** Seeds handed out so far: a value read must carry one of them. */
    private final AtomicLong seeds = new AtomicLong(1);
    private final Map<String, LongAdder> counts = new ConcurrentHashMap<>();
    private final ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
    private CVSWin32RegKey[] keys;
    private long deadline;

    @AfterAll
    static void removeKeys() {
        RegistryFixture.removeBase();
    }

    @Test
    void sixteenThreadsOnSharedKeysSeeOnlyWholeValuesAndLeaveNoHandle() throws Exception {
        long seconds = durationSeconds();
        long seed = Long.getLong("cvsreg.stress.seed", System.nanoTime());
        try (RegistryFixture f = new RegistryFixture("stress").create()) {
            int baseline = RegistryFixture.openHandleCount();
            keys = new CVSWin32RegKey[KEYS];
            for (int k = 0; k < KEYS; k++) {
                RegistryFixture.closeKey(RegistryFixture.createKey(f.key(), "k" + k));
                keys[k] = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path + "\\k" + k);
            }

            List<Thread> threads = new ArrayList<>();
            CountDownLatch start = new CountDownLatch(1);
            SplittableRandom seeder = new SplittableRandom(seed);
            for (Role role : Role.values()) {
                for (int i = 0; i < role.threads; i++) {
                    SplittableRandom random = seeder.split();
                    Thread thread = new Thread(() -> play(role, random, start),
                            "stress-" + role.name().toLowerCase() + "-" + i);
                    thread.start();
                    threads.add(thread);
                }
            }
            deadline = System.nanoTime() + seconds * 1_000_000_000L;
            start.countDown();
            // A bound for a hung thread only: a deadlock must fail rather than wait forever.
            long joinBy = System.nanoTime() + (seconds + 120) * 1_000_000_000L;
            for (Thread thread : threads) {
                thread.join(Math.max(1, (joinBy - System.nanoTime()) / 1_000_000));
                if (thread.isAlive()) {
                    fail(thread.getName() + " did not finish:\n" + threadDump());
                }
            }

            System.out.println("stress: " + seconds + " s, seed " + seed + ", " + new TreeMap<>(
                    counts.entrySet().stream().collect(Collectors.toMap(
                            Map.Entry::getKey, e -> e.getValue().sum()))));
            reportFailures();
            assertEquals(baseline, RegistryFixture.openHandleCount(),
                    "open key handles after the threads ended");

            // Whatever the threads left behind is whole, and each kind was really exercised.
            for (CVSWin32RegKey key : keys) {
                checkFinalState(key);
            }
            for (String what : new String[] {"read String", "read Integer", "read byte[]",
                    "write", "delete", "rename", "walk to end", "walk closed early"}) {
                assertTrue(count(what) > 0, "no '" + what + "' in the whole run");
            }
        }
    }

    /** The checks themselves: values mixed from two writes, or cut short, must not pass. */
    @Test
    void theChecksRejectMixedAndCutValues() {
        long issued = 1000;
        String text = longest(Payload::text, String::length);
        String other = Payload.text(text.equals(Payload.text(7)) ? 8 : 7);
        byte[] bytes = longest(Payload::bytes, b -> b.length);
        Runnable[] rejected = {
            () -> Payload.checkText(text.substring(0, text.length() - 1), issued),
            () -> Payload.checkText(text.substring(0, 10) + other.substring(10), issued),
            () -> Payload.checkText(other.substring(0, other.indexOf(':') + 1)
                    + text.substring(text.indexOf(':') + 1), issued),
            () -> Payload.checkText("plain", issued),
            () -> Payload.checkBytes(Arrays.copyOf(bytes, bytes.length - 1), issued),
            () -> Payload.checkBytes(flipLast(bytes), issued),
            () -> Payload.checkBytes(new byte[7], issued),
            () -> Payload.checkInteger(Payload.integer(5) ^ 0x100000),
            () -> Payload.checkInteger(Payload.integer(5) ^ 1),
        };
        for (int i = 0; i < rejected.length; i++) {
            boolean passed;
            try {
                rejected[i].run();
                passed = true;
            } catch (AssertionError expected) {
                passed = false;
            }
            assertFalse(passed, "mixed or cut value " + i + " passed the check");
        }
        Payload.checkText(text, issued);
        Payload.checkBytes(bytes, issued);
        Payload.checkInteger(Payload.integer(5));
    }

    /** The longest of the values made from seeds 1 to 99, so that it has a body to spoil. */
    private static <T> T longest(LongFunction<T> make, ToIntFunction<T> size) {
        T best = make.apply(1);
        for (long seed = 2; seed < 100; seed++) {
            T candidate = make.apply(seed);
            if (size.applyAsInt(candidate) > size.applyAsInt(best)) {
                best = candidate;
            }
        }
        return best;
    }

    private static byte[] flipLast(byte[] data) {
        byte[] copy = data.clone();
        copy[copy.length - 1] ^= 1;
        return copy;
    }

    private static long durationSeconds() {
        String value = System.getProperty("cvsreg.stress.seconds",
                System.getenv().getOrDefault("CVSREG_STRESS_SECONDS", "5"));
        long seconds = Long.parseLong(value.trim());
        if (seconds < 1) {
            throw new IllegalArgumentException("cvsreg.stress.seconds must be at least 1");
        }
        return seconds;
    }

    private void play(Role role, SplittableRandom random, CountDownLatch start) {
        try {
            start.await();
            while (System.nanoTime() < deadline && failures.size() < MAX_FAILURES) {
                CVSWin32RegKey key = keys[random.nextInt(KEYS)];
                String name = NAMES[random.nextInt(NAMES.length)];
                try {
                    switch (role) {
                        case READER: read(key, name); break;
                        case WRITER: write(key, name, random); break;
                        case DELETER: delete(key, name); break;
                        case RENAMER: rename(key, name, NAMES[random.nextInt(NAMES.length)]); break;
                        case WALKER: walk(key, random); break;
                        default: throw new AssertionError(role);
                    }
                } catch (Throwable t) {
                    failures.add(new AssertionError(role + " on " + key.getPath() + " value "
                            + name + ": " + t, t));
                }
            }
        } catch (Throwable t) {
            failures.add(t);
        }
    }

    private void count(String what, int n) {
        counts.computeIfAbsent(what, w -> new LongAdder()).add(n);
    }

    private long count(String what) {
        LongAdder adder = counts.get(what);
        return adder == null ? 0 : adder.sum();
    }

    private void read(CVSWin32RegKey key, String name) {
        Object value;
        try {
            value = key.getValue(name);
        } catch (CVSWin32RegKeyException e) {
            // Deleted, or replaced by a larger value, between the size query and the read.
            expectMessage("query value key failed", e);
            count("read vanished", 1);
            return;
        }
        check(value);
    }

    private void write(CVSWin32RegKey key, String name, SplittableRandom random) {
        long seed = seeds.getAndIncrement();
        switch (random.nextInt(3)) {
            case 0: key.setValue(name, Payload.text(seed)); break;
            case 1: key.setValue(name, Payload.integer(seed)); break;
            default: key.setValue(name, Payload.bytes(seed)); break;
        }
        count("write", 1);
    }

    private void delete(CVSWin32RegKey key, String name) {
        key.setValue(name, null);
        count("delete", 1);
        // Deleting is cheap: pause so that the five writers keep most values present.
        LockSupport.parkNanos(500_000);
    }

    /** Moves a value to another name: a delete and an add, as a walk sees a rename. */
    private void rename(CVSWin32RegKey key, String from, String to) {
        Object value;
        try {
            value = key.getValue(from);
        } catch (CVSWin32RegKeyException e) {
            expectMessage("query value key failed", e);
            return;
        }
        check(value);
        key.setValue(from, null);
        key.setValue(to, value);
        count("rename", 1);
    }

    private void walk(CVSWin32RegKey key, SplittableRandom random) {
        // Half the walks stop early after a few names; the rest go to their end.
        int stopAfter = random.nextBoolean() ? random.nextInt(4) : Integer.MAX_VALUE;
        boolean askFirst = random.nextBoolean();
        CVSWin32RegKeyNameIterator walk = key.valueNames();
        int handed = 0;
        try {
            while (true) {
                if (handed == stopAfter) {
                    walk.close();
                    assertFalse(walk.hasNext(), "a closed walk has no next");
                    count("walk closed early", 1);
                    return;
                }
                if (askFirst && !walk.hasNext()) {
                    break;
                }
                String name;
                try {
                    name = walk.next();
                } catch (NoSuchElementException e) {
                    expectMessage("past end of enumeration", e);
                    assertFalse(askFirst, "next failed after hasNext said a name was left");
                    break;
                }
                checkName(name);
                handed++;
            }
            expectPastEnd(walk);
            count("walk to end", 1);
        } catch (CVSWin32RegKeyException e) {
            // Values deleted or renamed under the walk end it.
            expectMessage("enum value failed", e);
            expectPastEnd(walk);
            count("walk ended by a change", 1);
        } finally {
            count("walked names", handed);
        }
    }

    private static void expectPastEnd(CVSWin32RegKeyNameIterator walk) {
        assertFalse(walk.hasNext(), "an ended walk has no next");
        try {
            walk.next();
            fail("next after the end handed out a name");
        } catch (NoSuchElementException e) {
            expectMessage("past end of enumeration", e);
        }
    }

    private static void checkName(String name) {
        for (String known : NAMES) {
            if ((known == null ? "" : known).equals(name)) {
                return;
            }
        }
        fail("the walk handed out a name nobody wrote: " + Payload.describe(name));
    }

    private static void expectMessage(String message, RuntimeException e) {
        if (!message.equals(e.getMessage())) {
            throw new AssertionError("unexpected " + e.getClass().getSimpleName() + ": "
                    + e.getMessage(), e);
        }
    }

    /** Fails unless `value` is exactly one that a writer made from a seed already handed out. */
    private void check(Object value) {
        long issued = seeds.get();
        if (value instanceof String) {
            Payload.checkText((String) value, issued);
            count("read String", 1);
        } else if (value instanceof Integer) {
            Payload.checkInteger((Integer) value);
            count("read Integer", 1);
        } else if (value instanceof byte[]) {
            Payload.checkBytes((byte[]) value, issued);
            count("read byte[]", 1);
        } else {
            fail("getValue returned " + (value == null ? "null" : value.getClass().getName()));
        }
    }

    private void checkFinalState(CVSWin32RegKey key) {
        List<String> names = new ArrayList<>();
        key.valueNames().forEachRemaining(names::add);
        for (String name : names) {
            checkName(name);
            check(key.getValue(name));
        }
        assertEquals(names.size(), names.stream().distinct().count(), "names " + names);
    }

    private void reportFailures() {
        if (failures.isEmpty()) {
            return;
        }
        AssertionError error = new AssertionError(failures.size() + " thread failure(s), first: "
                + failures.peek());
        failures.forEach(error::addSuppressed);
        throw error;
    }

    private static String threadDump() {
        StringBuilder dump = new StringBuilder();
        for (ThreadInfo info : ManagementFactory.getThreadMXBean().dumpAllThreads(false, false)) {
            dump.append(info);
        }
        return dump.toString();
    }

    /**
     * Self-checking values. A text is "S" + seed in hex + ":" + characters drawn from the seed
     * (NUL, surrogates paired and not, non-ASCII); a byte[] starts with its seed and length; an
     * Integer pairs 20 bits with a 12-bit check of them. The empty text and array stand alone.
     */
    static final class Payload {
        private static final char[] ALPHABET = {
            'a', 'Z', '0', ' ', '\\', '\u0000', '\u00e9', '\u07ff', '\u20ac', '\uffff',
        };

        static String text(long seed) {
            SplittableRandom random = new SplittableRandom(seed);
            if (random.nextInt(50) == 0) {
                return "";
            }
            // Mostly short; one in eight up to 32 Ki characters (up to ~96 KiB stored).
            int length = random.nextInt(8) == 0 ? random.nextInt(32 * 1024) : random.nextInt(200);
            StringBuilder text = new StringBuilder("S").append(Long.toHexString(seed)).append(':');
            for (int i = 0; i < length; i++) {
                int pick = random.nextInt(ALPHABET.length + 3);
                if (pick < ALPHABET.length) {
                    text.append(ALPHABET[pick]);
                } else if (pick == ALPHABET.length) {
                    text.append("\ud83d\ude00");
                } else if (pick == ALPHABET.length + 1) {
                    text.append('\ud800');  // a high surrogate left unpaired
                } else {
                    text.append('\udfff');  // a low surrogate alone
                }
            }
            return text.toString();
        }

        static void checkText(String text, long issued) {
            if (text.isEmpty()) {
                return;
            }
            int colon = text.indexOf(':');
            long seed;
            try {
                if (text.charAt(0) != 'S' || colon < 2) {
                    throw new NumberFormatException();
                }
                seed = Long.parseUnsignedLong(text.substring(1, colon), 16);
            } catch (NumberFormatException e) {
                throw new AssertionError("a text no writer made: " + describe(text));
            }
            checkSeed(seed, issued);
            if (!text.equals(text(seed))) {
                throw new AssertionError("a torn text of seed " + seed + ": " + describe(text));
            }
        }

        static Integer integer(long seed) {
            int low = (int) (seed & 0xFFFFF);
            return (check12(low) << 20) | low;
        }

        static void checkInteger(int value) {
            int low = value & 0xFFFFF;
            if (value != ((check12(low) << 20) | low)) {
                throw new AssertionError("an Integer no writer made: " + Integer.toHexString(value));
            }
        }

        private static int check12(int low) {
            int mixed = low * 0x9E3779B1;
            return (mixed ^ (mixed >>> 15)) & 0xFFF;
        }

        static byte[] bytes(long seed) {
            SplittableRandom random = new SplittableRandom(seed);
            if (random.nextInt(50) == 0) {
                return new byte[0];
            }
            int length = 16 + (random.nextInt(8) == 0 ? random.nextInt(MAX_BYTES - 15)
                    : random.nextInt(256));
            byte[] data = new byte[length];
            random.nextBytes(data);
            putLong(data, 0, seed);
            putLong(data, 8, length);
            return data;
        }

        static void checkBytes(byte[] data, long issued) {
            if (data.length == 0) {
                return;
            }
            if (data.length < 16 || getLong(data, 8) != data.length) {
                throw new AssertionError("a byte[] of " + data.length + " bytes no writer made");
            }
            long seed = getLong(data, 0);
            checkSeed(seed, issued);
            if (!Arrays.equals(data, bytes(seed))) {
                throw new AssertionError("a torn byte[] of seed " + seed + ", " + data.length
                        + " bytes");
            }
        }

        private static void checkSeed(long seed, long issued) {
            if (seed <= 0 || seed >= issued) {
                throw new AssertionError("seed " + seed + " was never handed out (next "
                        + issued + ")");
            }
        }

        private static void putLong(byte[] data, int at, long value) {
            for (int i = 0; i < 8; i++) {
                data[at + i] = (byte) (value >>> (8 * i));
            }
        }

        private static long getLong(byte[] data, int at) {
            long value = 0;
            for (int i = 0; i < 8; i++) {
                value |= (data[at + i] & 0xFFL) << (8 * i);
            }
            return value;
        }

        /** A short, printable form of a text, for failure messages. */
        static String describe(String text) {
            StringBuilder out = new StringBuilder("\"");
            for (int i = 0; i < Math.min(text.length(), 80); i++) {
                char c = text.charAt(i);
                if (c >= 0x20 && c < 0x7F) {
                    out.append(c);
                } else {
                    out.append(String.format("\\u%04x", (int) c));
                }
            }
            return out.append(text.length() > 80 ? "...\" (" + text.length() + " chars)" : "\"")
                    .toString();
        }
    }
}
