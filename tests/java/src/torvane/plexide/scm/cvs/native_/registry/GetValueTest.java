package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static torvane.plexide.scm.cvs.native_.registry.ValueCasesTest.assertValue;

import com.sun.jna.Pointer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

/** getValue beyond the table: how the key is named, subclasses, threads and handles. */
class GetValueTest {
    private static final int REG_SZ = 1;
    private static final int REG_BINARY = 3;
    private static final int REG_DWORD = 4;

    private static byte[] sz(String text) {
        byte[] ascii = text.getBytes(StandardCharsets.US_ASCII);
        byte[] data = new byte[ascii.length + 1];
        System.arraycopy(ascii, 0, data, 0, ascii.length);
        return data;
    }

    @AfterAll
    static void removeKeys() {
        RegistryFixture.removeBase();
    }

    private static void assertFails(String message, CVSWin32RegKey key, String name) {
        CVSWin32RegKeyException e = assertThrows(CVSWin32RegKeyException.class,
                () -> key.getValue(name));
        assertEquals(message, e.getMessage());
    }

    /** The root is a predefined key or the handle of an open key; the path may be empty. */
    @Nested
    class Roots {
        @Test
        void predefinedRootIsTheSignExtendedHandle() {
            try (RegistryFixture f = new RegistryFixture("roots\\predefined").create()) {
                f.set("v", REG_SZ, sz("current user"));
                assertEquals(0xFFFFFFFF80000001L, Pointer.nativeValue(RegistryFixture.HKCU));
                assertValue("current user",
                        new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path).getValue("v"));
            }
        }

        /**
         * A null or empty path names the root, and for a predefined root the registry hands back
         * the root's own handle: no operation may close it, for that would close
         * HKEY_CURRENT_USER under every thread of the process.
         */
        @Test
        void noOperationOnAPredefinedRootItselfClosesIt() {
            RegistryFixture.assumeEmulation();
            // Checks at its close that no key handle was left open.
            RegistryFixture handles = new RegistryFixture("roots\\itself");
            try {
                String name = "CVSWin32RegKeyTests root value";
                for (String path : new String[] {null, ""}) {
                    int closes = RegistryFixture.EMULATION.RegEmuPredefinedKeyCloseCount();
                    CVSWin32RegKey root = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, path);
                    root.setValue(name, Integer.valueOf(7));
                    assertValue(7, root.getValue(name));
                    List<String> walked = new ArrayList<>();
                    root.valueNames().forEachRemaining(walked::add);
                    assertTrue(walked.contains(name), "walked " + walked);
                    try (CVSWin32RegKeyNameIterator early = root.valueNames()) {
                        early.next();
                    }
                    root.setValue(name, null);
                    assertEquals(null, RegistryFixture.query(RegistryFixture.HKCU, name));
                    assertEquals(closes, RegistryFixture.EMULATION.RegEmuPredefinedKeyCloseCount(),
                            "HKEY_CURRENT_USER closed through the path " + path);
                }
            } finally {
                handles.close();
            }
        }

        @Test
        void otherPredefinedRootsAreTheirOwnKeys() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = new RegistryFixture("roots\\machine")) {
                Pointer machine = RegistryFixture.root(CVSWin32RegKey.HKEY_LOCAL_MACHINE);
                Pointer key = RegistryFixture.createKey(machine, f.path);
                try {
                    RegistryFixture.set(key, "v", REG_SZ, sz("local machine"));
                } finally {
                    RegistryFixture.closeKey(key);
                }
                assertValue("local machine",
                        new CVSWin32RegKey(CVSWin32RegKey.HKEY_LOCAL_MACHINE, f.path).getValue("v"));
                assertFails("open key failed",
                        new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path), "v");
            }
        }

        @Test
        void openKeyHandleAsRoot() {
            try (RegistryFixture f = new RegistryFixture("roots\\handle").create()) {
                Pointer child = RegistryFixture.createKey(f.key(), "child\\grandchild");
                try {
                    RegistryFixture.set(child, "v", REG_DWORD, new byte[] {42, 0, 0, 0});
                } finally {
                    RegistryFixture.closeKey(child);
                }
                int root = RegistryFixture.handleValue(f.key());
                assertValue(42, new CVSWin32RegKey(root, "child\\grandchild").getValue("v"));
                assertFails("open key failed", new CVSWin32RegKey(root, "grandchild"), "v");
            }
        }

        @Test
        void nullOrEmptyPathOpensTheRootItself() {
            try (RegistryFixture f = new RegistryFixture("roots\\itself").create()) {
                f.set("v", REG_BINARY, new byte[] {1, 2, 3});
                f.set(null, REG_SZ, sz("default"));
                int root = RegistryFixture.handleValue(f.key());
                for (String path : new String[] {null, ""}) {
                    CVSWin32RegKey key = new CVSWin32RegKey(root, path);
                    assertValue(new byte[] {1, 2, 3}, key.getValue("v"));
                    assertValue("default", key.getValue(null));
                    assertValue("default", key.getValue(""));
                }
            }
        }

        @Test
        @SuppressWarnings("try") // the fixture only counts handles and cleans up
        void nullPathUnderPredefinedRootReadsTheRootsValues() {
            String name = "CVSWin32RegKeyTests root value";
            try (RegistryFixture f = new RegistryFixture("roots\\predefined-itself")) {
                RegistryFixture.set(RegistryFixture.HKCU, name, REG_DWORD, new byte[] {7, 0, 0, 0});
                try {
                    assertValue(7,
                            new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, null).getValue(name));
                } finally {
                    RegistryFixture.REGISTRY.RegDeleteValueA(RegistryFixture.HKCU, name);
                }
            }
        }

        @Test
        void closedHandleAsRootFailsToOpen() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = new RegistryFixture("roots\\closed").create()) {
                f.set("v", REG_SZ, sz("x"));
                Pointer handle = RegistryFixture.createKey(RegistryFixture.HKCU, f.path);
                int root = RegistryFixture.handleValue(handle);
                RegistryFixture.closeKey(handle);
                assertFails("open key failed", new CVSWin32RegKey(root, null), "v");
                assertFails("open key failed", new CVSWin32RegKey(root, ""), "v");
            }
        }
    }

    /** The native code reads the base class's fields, whatever class the object has. */
    @Nested
    class Subclasses {
        class Plain extends CVSWin32RegKey {
            Plain(int root, String path) {
                super(root, path);
            }
        }

        /**
         * Declares fields of the same names. Fields are looked up on the object's own class, so
         * these are the ones read: here they name a key that does not exist.
         */
        class Shadowing extends CVSWin32RegKey {
            @SuppressWarnings("unused")
            private final int m_root = 0;
            @SuppressWarnings("unused")
            private final String m_path = RegistryFixture.BASE + "\\no such key";

            Shadowing(int root, String path) {
                super(root, path);
            }
        }

        @Test
        void subclassesReadTheKeyTheyWereGiven() {
            try (RegistryFixture f = new RegistryFixture("subclasses").create()) {
                f.set("v", REG_SZ, sz("sub"));
                int root = CVSWin32RegKey.HKEY_CURRENT_USER;
                assertValue("sub", new Plain(root, f.path).getValue("v"));
                assertValue("sub", new CVSWin32RegKey(root, f.path) {}.getValue("v"));
                assertFails("query value key failed", new Plain(root, f.path), "w");
            }
        }

        @Test
        void fieldsOfTheSameNamesInASubclassNameTheKey() {
            try (RegistryFixture f = new RegistryFixture("subclasses-shadowing").create()) {
                f.set("v", REG_SZ, sz("base fields"));
                Shadowing key = new Shadowing(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
                CVSWin32RegKeyException e =
                        assertThrows(CVSWin32RegKeyException.class, () -> key.getValue("v"));
                assertEquals("open key failed", e.getMessage());
            }
        }
    }

    /** One key object shared by threads that all read at once. */
    @Nested
    class Threads {
        @Test
        void concurrentReadsOfOneKey() throws Exception {
            try (RegistryFixture f = new RegistryFixture("threads").create()) {
                byte[] binary = new byte[300];
                for (int i = 0; i < binary.length; i++) {
                    binary[i] = (byte) (i * 7);
                }
                f.set("text", REG_SZ, sz("shared text"));
                f.set("number", REG_DWORD, new byte[] {(byte) 0xFE, (byte) 0xFF, (byte) 0xFF, 0x7F});
                f.set("binary", REG_BINARY, binary);
                CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);

                int threads = 8;
                CountDownLatch start = new CountDownLatch(1);
                List<Callable<Integer>> readers = new ArrayList<>();
                for (int t = 0; t < threads; t++) {
                    readers.add(() -> {
                        start.await();
                        int reads = 0;
                        for (int i = 0; i < 200; i++) {
                            assertValue("shared text", key.getValue("text"));
                            assertValue(0x7FFFFFFE, key.getValue("number"));
                            assertValue(binary, key.getValue("binary"));
                            assertFails("query value key failed", key, "absent");
                            reads += 4;
                        }
                        return reads;
                    });
                }
                ExecutorService pool = Executors.newFixedThreadPool(threads);
                try {
                    List<Future<Integer>> results = new ArrayList<>();
                    for (Callable<Integer> reader : readers) {
                        results.add(pool.submit(reader));
                    }
                    start.countDown();
                    for (Future<Integer> result : results) {
                        // get() rethrows a reader's failed assertion.
                        assertEquals(800, result.get());
                    }
                } finally {
                    pool.shutdownNow();
                }
            }
        }
    }

    /** Every call closes what it opened, whichever way it ends. */
    @Nested
    class Handles {
        @Test
        void noHandleLeftOpenByAnyOutcome() {
            RegistryFixture.assumeEmulation();
            try (RegistryFixture f = new RegistryFixture("handles").create()) {
                f.set("text", REG_SZ, sz("t"));
                f.set("multi", 7, sz("a"));
                CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
                int before = RegistryFixture.openHandleCount();
                for (int round = 0; round < 20; round++) {
                    assertValue("t", key.getValue("text"));
                    assertFails("query value key failed", key, "absent");
                    assertFails("unsupported value type", key, "multi");
                    // The sizing query refused, then the data query finding more data.
                    int[] errors = {5, 234};
                    for (int skip = 0; skip < errors.length; skip++) {
                        RegistryFixture.Failure failure = RegistryFixture.failNextCall(
                                "RegQueryValueExA", skip, errors[skip]);
                        assertFails("query value key failed", key, "text");
                        assertTrue(failure.reached(), "query " + skip + " of getValue");
                    }
                    assertFails("open key failed", new CVSWin32RegKey(
                            CVSWin32RegKey.HKEY_CURRENT_USER, f.path + "\\absent"), "text");
                    assertEquals(before, RegistryFixture.openHandleCount(), "round " + round);
                }
            }
        }
    }
}
