package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Field;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.NoSuchElementException;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The walk over a key's value names: its states, its failures and the key it holds. */
class WalkTest {
    private static final int REG_SZ = 1;
    private static final String[] THREE = {"first", "Second", "third value"};
    private static final String[] REGISTRY_FUNCTIONS = {
        "RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA",
        "RegQueryInfoKeyA", "RegEnumValueA", "RegCloseKey",
    };

    @AfterAll
    static void removeKeys() {
        RegistryFixture.removeBase();
    }

    private static RegistryFixture keyWith(String name, String... valueNames) {
        RegistryFixture fixture = new RegistryFixture(name).create();
        for (String valueName : valueNames) {
            fixture.set(valueName, REG_SZ, new byte[] {'x', 0});
        }
        return fixture;
    }

    private static CVSWin32RegKeyNameIterator walk(RegistryFixture fixture) {
        return new CVSWin32RegKeyNameIterator(CVSWin32RegKey.HKEY_CURRENT_USER, fixture.path);
    }

    /** The walk's own fields, as the native code leaves them. */
    static int field(CVSWin32RegKeyNameIterator walk, String name) {
        try {
            Field field = CVSWin32RegKeyNameIterator.class.getDeclaredField(name);
            field.setAccessible(true);
            return field.getInt(walk);
        } catch (ReflectiveOperationException e) {
            throw new AssertionError(e);
        }
    }

    static void assertFails(Class<? extends RuntimeException> type, String message,
            Executable call) {
        RuntimeException e = assertThrows(type, call);
        assertEquals(type, e.getClass());
        assertEquals(message, e.getMessage());
    }

    static void assertExhausted(CVSWin32RegKeyNameIterator walk) {
        assertEquals(field(walk, "m_count"), field(walk, "m_index"), "m_index at the end");
        assertFalse(walk.hasNext());
        assertFails(NoSuchElementException.class, "past end of enumeration", walk::next);
    }

    private static int callCount() {
        int total = 0;
        for (String function : REGISTRY_FUNCTIONS) {
            total += RegistryFixture.EMULATION.RegEmuCallCount(function);
        }
        return total;
    }

    @Nested
    class States {
        @Test
        void hasNextBeforeEachNextGivesTheNamesInIndexOrder() {
            try (RegistryFixture f = keyWith("walk-three", THREE)) {
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals(-1, field(walk, "m_index"), "a new walk is unopened");
                List<String> names = new ArrayList<>();
                for (int i = 0; i < THREE.length; i++) {
                    assertTrue(walk.hasNext(), "before name " + i);
                    assertEquals(i, field(walk, "m_index"));
                    assertEquals(THREE.length, field(walk, "m_count"));
                    assertEquals("third value".length() + 1, field(walk, "m_maxsize"));
                    names.add(walk.next());
                }
                assertEquals(Arrays.asList(THREE), names);
                assertExhausted(walk);
            }
        }

        @Test
        void nextAloneOpensTheWalk() {
            try (RegistryFixture f = keyWith("walk-next-alone", THREE)) {
                CVSWin32RegKeyNameIterator walk = walk(f);
                for (String expected : THREE) {
                    assertEquals(expected, walk.next());
                }
                assertExhausted(walk);
            }
        }

        @Test
        void aKeyWithoutValuesIsExhaustedAtOnceAndHoldsNoKey() {
            try (RegistryFixture f = keyWith("walk-empty")) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertFalse(walk.hasNext());
                assertEquals(handles, RegistryFixture.openHandleCount(), "no key kept");
                assertExhausted(walk);
                CVSWin32RegKeyNameIterator nextFirst = walk(f);
                assertFails(NoSuchElementException.class, "past end of enumeration",
                        nextFirst::next);
                assertEquals(0, field(nextFirst, "m_count"));
            }
        }

        @Test
        void theKeyStaysOpenBetweenCallsInAnIntField() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = keyWith("walk-key-held", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                walk.next();
                assertEquals(handles + 1, RegistryFixture.openHandleCount(), "the walk's key");
                assertNotEquals(0, field(walk, "m_hkey"));
                walk.next();
                walk.next();
                assertEquals(handles, RegistryFixture.openHandleCount(), "closed by the last next");
            }
        }

        @Test
        void namesComeBackExactlyUpToTheLongestAllowed() {
            char[] longest = new char[16383];
            Arrays.fill(longest, 'n');
            longest[0] = 'L';
            String[] names = {new String(longest), "a", "MiXeD Case", "with\\backslash",
                "caf\u00e9 \u20ac \ud83d\ude00", "\u0001"};
            try (RegistryFixture f = new RegistryFixture("walk-exact").create()) {
                CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
                for (String name : names) {
                    key.setValue(name, Integer.valueOf(1));
                }
                List<String> walked = new ArrayList<>();
                key.valueNames().forEachRemaining(walked::add);
                assertEquals(Arrays.asList(names), walked);
            }
        }

        /**
         * m_maxsize counts the longest name in UTF-16 units, while each name arrives in its narrow
         * form, up to three bytes a unit: non-ASCII names of different lengths, the longest of
         * them too, and the longest name allowed in its widest narrow form, all come whole.
         */
        @Test
        void namesLongerInTheirNarrowFormComeWhole() {
            char[] widest = new char[16383];
            Arrays.fill(widest, '\u8a2d');
            String[] names = {"\u8a2d\u5b9a", "a", "\u00fc", "\u65e5\u672c\u8a9e\u306e\u540d\u524d",
                "\ud83d\ude00\u20ac", "\u540d\u524d\u4ed8\u304d\u306e\u8a2d\u5b9a\u5024"};
            try (RegistryFixture f = new RegistryFixture("walk-narrow-form").create()) {
                CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
                for (String name : names) {
                    key.setValue(name, Integer.valueOf(1));
                }
                CVSWin32RegKeyNameIterator walk = key.valueNames();
                List<String> walked = new ArrayList<>();
                walk.forEachRemaining(walked::add);
                assertEquals(Arrays.asList(names), walked);
                assertEquals(9, field(walk, "m_maxsize"), "the longest name in UTF-16 units, plus one");

                key.setValue(new String(widest), Integer.valueOf(2));
                walked.clear();
                key.valueNames().forEachRemaining(walked::add);
                assertEquals(names.length + 1, walked.size());
                assertEquals(new String(widest), walked.get(names.length), "49,149 bytes narrow");
            }
        }

        @Test
        void aSubclassWalksToo() {
            try (RegistryFixture f = keyWith("walk-subclass", THREE)) {
                CVSWin32RegKeyNameIterator walk =
                        new CVSWin32RegKeyNameIterator(CVSWin32RegKey.HKEY_CURRENT_USER, f.path) {};
                List<String> names = new ArrayList<>();
                walk.forEachRemaining(names::add);
                assertEquals(Arrays.asList(THREE), names);
            }
        }
    }

    @Nested
    class Failures {
        @Test
        void aMissingKeyLeavesTheWalkUnopenedAndCanBeRetried() {
            try (RegistryFixture f = new RegistryFixture("walk-missing")) {
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertFails(CVSWin32RegKeyException.class, "open key failed", walk::hasNext);
                assertEquals(-1, field(walk, "m_index"));
                assertFails(CVSWin32RegKeyException.class, "open key failed", walk::next);
                assertEquals(-1, field(walk, "m_index"));

                f.create();
                f.set("late", REG_SZ, new byte[] {0});
                assertTrue(walk.hasNext());
                assertEquals("late", walk.next());
                assertExhausted(walk);
            }
        }

        @Test
        void aFailedInfoQueryClosesTheKeyAndCanBeRetried() {
            try (RegistryFixture f = keyWith("walk-info-fails", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                RegistryFixture.Failure failure =
                        RegistryFixture.failNextCall("RegQueryInfoKeyA", 0, 5);
                assertFails(CVSWin32RegKeyException.class, "query info key failed", walk::next);
                assertTrue(failure.reached());
                assertEquals(-1, field(walk, "m_index"));
                assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                assertEquals("first", walk.next());
                walk.close();
            }
        }

        @Test
        void aFailedEnumerationEndsTheWalkAndClosesTheKey() {
            try (RegistryFixture f = keyWith("walk-enum-fails", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals("first", walk.next());
                RegistryFixture.Failure failure = RegistryFixture.failNextCall("RegEnumValueA", 0, 5);
                assertFails(CVSWin32RegKeyException.class, "enum value failed", walk::next);
                assertTrue(failure.reached());
                assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                assertExhausted(walk);
            }
        }

        /** The buffer is sized at opening; a longer name met later gets a larger one. */
        @Test
        void aLongerNameAddedDuringTheWalkIsHandedOutWhole() {
            try (RegistryFixture f = keyWith("walk-longer-name", "a", "b", "c")) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals("a", walk.next());
                // The list shifts down: index 1 is now "c", index 2 the long name.
                check(RegistryFixture.REGISTRY.RegDeleteValueA(f.key(), "a"));
                String longer = "a name longer than the buffer the walk began with";
                f.set(longer, REG_SZ, new byte[] {0});
                assertEquals("c", walk.next());
                assertEquals(longer, walk.next());
                assertEquals(2, field(walk, "m_maxsize"), "m_maxsize stays as it was at opening");
                assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                assertExhausted(walk);
            }
        }

        @Test
        void valuesDeletedDuringTheWalkEndIt() {
            try (RegistryFixture f = keyWith("walk-deleted", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals("first", walk.next());
                check(RegistryFixture.REGISTRY.RegDeleteValueA(f.key(), "Second"));
                check(RegistryFixture.REGISTRY.RegDeleteValueA(f.key(), "third value"));
                assertTrue(walk.hasNext(), "the count is the one at opening");
                assertFails(CVSWin32RegKeyException.class, "enum value failed", walk::next);
                assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                assertExhausted(walk);
            }
        }

        @Test
        void anExhaustedWalkMakesNoRegistryCall() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = keyWith("walk-no-calls", THREE)) {
                CVSWin32RegKeyNameIterator ended = walk(f);
                ended.forEachRemaining(name -> { });
                CVSWin32RegKeyNameIterator failed = walk(f);
                failed.next();
                RegistryFixture.failNextCall("RegEnumValueA", 0, 5);
                assertThrows(CVSWin32RegKeyException.class, failed::next);
                RegistryFixture emptyKey = keyWith("walk-no-calls-empty");
                CVSWin32RegKeyNameIterator empty = walk(emptyKey);
                assertFalse(empty.hasNext());

                int calls = callCount();
                for (CVSWin32RegKeyNameIterator walk : List.of(ended, failed, empty)) {
                    assertExhausted(walk);
                    walk.close();
                }
                assertEquals(calls, callCount());
                emptyKey.close();
            }
        }

        private void check(int status) {
            RegistryFixture.check("RegDeleteValueA", status);
        }
    }

    @Nested
    class Closing {
        @Test
        void closingMidWalkClosesTheKeyAndEndsTheWalk() {
            try (RegistryFixture f = keyWith("walk-close", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals("first", walk.next());
                walk.close();
                assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                assertExhausted(walk);
                walk.close();  // closing again does nothing
                assertEquals(handles, RegistryFixture.openHandleCount());
            }
        }

        @Test
        void closingAnUnopenedWalkEndsItWithoutOpening() {
            try (RegistryFixture f = keyWith("walk-close-unopened", THREE)) {
                CVSWin32RegKeyNameIterator walk = walk(f);
                walk.close();
                assertFalse(walk.hasNext());
                assertFails(NoSuchElementException.class, "past end of enumeration", walk::next);
            }
        }

        @Test
        void noHandleIsLeftByAnyEnding() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = keyWith("walk-endings", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                for (int round = 0; round < 10; round++) {
                    walk(f).forEachRemaining(name -> { });
                    try (CVSWin32RegKeyNameIterator early = walk(f)) {
                        early.next();
                    }
                    CVSWin32RegKeyNameIterator failed = walk(f);
                    RegistryFixture.failNextCall("RegEnumValueA", 1, 259);
                    failed.next();
                    assertThrows(CVSWin32RegKeyException.class, failed::next);
                    assertEquals(handles, RegistryFixture.openHandleCount(), "round " + round);
                }
            }
        }
    }

    /** Fields changed by Java code: the walk never reaches a key that is not its own. */
    @Nested
    class ChangedFields {
        private void set(CVSWin32RegKeyNameIterator walk, String name, int value) {
            try {
                Field field = CVSWin32RegKeyNameIterator.class.getDeclaredField(name);
                field.setAccessible(true);
                field.setInt(walk, value);
            } catch (ReflectiveOperationException e) {
                throw new AssertionError(e);
            }
        }

        @Test
        void anEndedWalkHoldsNoHandleValue() {
            try (RegistryFixture f = keyWith("walk-ended-no-handle", THREE);
                    RegistryFixture empty = keyWith("walk-ended-no-handle-empty")) {
                CVSWin32RegKeyNameIterator ended = walk(f);
                ended.forEachRemaining(name -> { });
                CVSWin32RegKeyNameIterator closed = walk(f);
                closed.next();
                assertNotEquals(0, field(closed, "m_hkey"), "open");
                closed.close();
                CVSWin32RegKeyNameIterator failed = walk(f);
                failed.next();
                RegistryFixture.failNextCall("RegEnumValueA", 0, 5);
                assertThrows(CVSWin32RegKeyException.class, failed::next);
                CVSWin32RegKeyNameIterator nothing = walk(empty);
                assertFalse(nothing.hasNext());
                for (CVSWin32RegKeyNameIterator walk : List.of(ended, closed, failed, nothing)) {
                    assertEquals(0, field(walk, "m_hkey"));
                }
            }
        }

        @Test
        void aRewoundEndedWalkLeavesAnOpenWalkAlone() {
            try (RegistryFixture mine = keyWith("walk-rewound", "x", "y", "z");
                    RegistryFixture theirs = keyWith("walk-beside", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator ended = walk(mine);
                ended.forEachRemaining(name -> { });
                // The handle value the ended walk had is free, so the next key opened may get it.
                CVSWin32RegKeyNameIterator open = walk(theirs);
                assertEquals("first", open.next());

                set(ended, "m_index", 0);
                assertFails(CVSWin32RegKeyException.class, "enum value failed", ended::next);
                assertExhausted(ended);
                set(ended, "m_index", 1);
                assertFails(CVSWin32RegKeyException.class, "enum value failed", ended::hasNext);
                assertExhausted(ended);
                ended.close();

                assertEquals(handles + 1, RegistryFixture.openHandleCount(), "the open walk's key");
                assertEquals("Second", open.next());
                assertEquals("third value", open.next());
                assertExhausted(open);
                assertEquals(handles, RegistryFixture.openHandleCount());
            }
        }

        /** A rewind to -1 opens the walk again and gives up the key it held. */
        @Test
        void aWalkRewoundToUnopenedStartsAgain() {
            try (RegistryFixture f = keyWith("walk-restart", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                assertEquals("first", walk.next());
                set(walk, "m_index", -1);
                List<String> names = new ArrayList<>();
                walk.forEachRemaining(names::add);
                assertEquals(Arrays.asList(THREE), names);
                assertEquals(handles, RegistryFixture.openHandleCount(), "no key left open");
            }
        }

        @ParameterizedTest(name = "{0} = {1}")
        @CsvSource({
            "m_index, -2",
            "m_index, -100",
            "m_index, 4",
            "m_count, -1",
            "m_count, 0",
            "m_maxsize, 0",
            "m_maxsize, -7",
            "m_hkey, 0",
        })
        void aFieldOutOfRangeEndsTheWalkWithAnException(String name, int value) {
            try (RegistryFixture f = keyWith("walk-out-of-range", THREE)) {
                int handles = RegistryFixture.openHandleCount();
                for (boolean throughHasNext : new boolean[] {true, false}) {
                    CVSWin32RegKeyNameIterator walk = walk(f);
                    assertEquals("first", walk.next());
                    int held = field(walk, "m_hkey");
                    set(walk, name, value);
                    assertFails(CVSWin32RegKeyException.class, "enum value failed",
                            throughHasNext ? walk::hasNext : walk::next);
                    assertEquals(0, field(walk, "m_hkey"), "the walk holds no key");
                    assertExhausted(walk);
                    walk.close();
                    if (name.equals("m_hkey")) {
                        // The walk lost its handle value, so it could not close its key.
                        RegistryFixture.closeKey(RegistryFixture.root(held));
                    }
                    assertEquals(handles, RegistryFixture.openHandleCount(), "key closed");
                }
            }
        }

        /** A walk shared by mistake hands each name out once and closes its key once. */
        @Test
        void aWalkSharedBetweenThreadsHandsOutEachNameOnce() throws Exception {
            String[] many = new String[200];
            for (int i = 0; i < many.length; i++) {
                many[i] = "value " + i;
            }
            try (RegistryFixture f = keyWith("walk-shared", many)) {
                int handles = RegistryFixture.openHandleCount();
                CVSWin32RegKeyNameIterator walk = walk(f);
                List<String> names = java.util.Collections.synchronizedList(new ArrayList<>());
                List<Throwable> failures = java.util.Collections.synchronizedList(new ArrayList<>());
                Thread[] threads = new Thread[4];
                for (int t = 0; t < threads.length; t++) {
                    threads[t] = new Thread(() -> {
                        try {
                            while (true) {
                                try {
                                    names.add(walk.next());
                                } catch (NoSuchElementException end) {
                                    return;
                                }
                            }
                        } catch (Throwable e) {
                            failures.add(e);
                        }
                    });
                    threads[t].start();
                }
                for (Thread thread : threads) {
                    thread.join();
                }
                assertEquals(List.of(), failures);
                List<String> sorted = new ArrayList<>(names);
                java.util.Collections.sort(sorted);
                List<String> expected = new ArrayList<>(Arrays.asList(many));
                java.util.Collections.sort(expected);
                assertEquals(expected, sorted);
                assertEquals(handles, RegistryFixture.openHandleCount());
            }
        }
    }

    @Test
    void namesInOtherEncodingsLoseNoByte() {
        try (RegistryFixture f = new RegistryFixture("walk-latin1").create()) {
            // Names as a program writing ISO-8859-1 or UTF-8 stores them, NUL-terminated.
            byte[][] stored = {
                {'n', (byte) 0xE9, 0},
                {'u', (byte) 0xF0, (byte) 0x9F, (byte) 0x98, (byte) 0x80, 0},
            };
            for (byte[] name : stored) {
                RegistryFixture.check("RegSetValueExA", RegistryFixture.REGISTRY.RegSetValueExA(
                        f.key(), name, 0, REG_SZ, new byte[] {0}, 1));
            }
            List<String> walked = new ArrayList<>();
            walk(f).forEachRemaining(walked::add);
            assertEquals(List.of("n\u00e9", "u\ud83d\ude00"), walked);
        }
    }
}
