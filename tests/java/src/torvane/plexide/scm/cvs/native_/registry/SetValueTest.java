package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Random;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.Test;

/** setValue beyond the shared table: large values and text that only round trips if kept whole. */
class SetValueTest {
    private static final int REG_SZ = 1;
    private static final int REG_BINARY = 3;

    @AfterAll
    static void removeKeys() {
        RegistryFixture.removeBase();
    }

    @Test
    void oneMebibyteOfBytesIsStoredWholeAndReadsBack() {
        try (RegistryFixture f = new RegistryFixture("set-large").create()) {
            byte[] data = new byte[1 << 20];
            new Random(42).nextBytes(data);
            CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
            key.setValue("big", data);

            RegistryFixture.Stored stored = f.query("big");
            assertEquals(REG_BINARY, stored.type);
            assertArrayEquals(data, stored.data);
            assertArrayEquals(data, (byte[]) key.getValue("big"));
        }
    }

    /**
     * Writing a byte[] only reads it: while one thread keeps writing the array, another stamps
     * every element with a new number and then looks at them all. An element that no longer
     * holds the stamp was reverted by the library copying its snapshot of the array back.
     */
    @Test
    void writingABytesValueNeverRevertsWhatAnotherThreadWrote() throws Exception {
        try (RegistryFixture f = new RegistryFixture("set-bytes-shared").create()) {
            CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
            byte[] shared = new byte[64 * 1024];
            AtomicBoolean writing = new AtomicBoolean(true);
            AtomicReference<Throwable> writerFailure = new AtomicReference<>();
            Thread writer = new Thread(() -> {
                try {
                    for (int i = 0; i < 400; i++) {
                        key.setValue("shared", shared);
                    }
                } catch (Throwable t) {
                    writerFailure.set(t);
                } finally {
                    writing.set(false);
                }
            });
            writer.start();
            int passes = 0;
            long reverted = 0;
            for (byte stamp = 1; writing.get() || passes < 2; stamp = (byte) (stamp % 127 + 1)) {
                for (int i = 0; i < shared.length; i++) {
                    shared[i] = stamp;
                }
                // A volatile read, so the elements below are read again, not assumed.
                writing.get();
                for (int i = 0; i < shared.length; i++) {
                    if (shared[i] != stamp) {
                        reverted++;
                    }
                }
                passes++;
            }
            writer.join();
            assertNull(writerFailure.get(), () -> "setValue failed: " + writerFailure.get());
            assertTrue(passes > 1);
            assertEquals(0, reverted, "elements reverted over " + passes + " passes");
            assertEquals(REG_BINARY, f.query("shared").type);
        }
    }

    /** Strings a lossy text conversion would change: every one must come back equal. */
    @Test
    void anyStringReadsBackEqual() {
        String[] texts = {
            "",
            "plain ascii",
            "\u0000",
            "nul\u0000inside\u0000",
            "caf\u00e9 \u00fc\u00df \u20ac",
            "\u65e5\u672c\u8a9e",
            "\ud83d\ude00 smile",
            "\ud800",
            "\udc00 low first",
            "\ud800\ud800\udc00",
            "\uffff\ufffe",
            "\u0080\u00ff\u0100\u07ff\u0800",
        };
        Random random = new Random(7);
        String[] all = new String[texts.length + 50];
        System.arraycopy(texts, 0, all, 0, texts.length);
        for (int i = texts.length; i < all.length; i++) {
            char[] chars = new char[random.nextInt(40)];
            for (int c = 0; c < chars.length; c++) {
                chars[c] = (char) random.nextInt(0x10000);
            }
            all[i] = new String(chars);
        }

        try (RegistryFixture f = new RegistryFixture("set-texts").create()) {
            CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
            for (String text : all) {
                key.setValue("text", text);
                assertEquals(REG_SZ, f.query("text").type);
                assertEquals(text, key.getValue("text"), () -> "round trip of " + escape(text));
            }
        }
    }

    @Test
    void aNullNameWritesAndDeletesTheDefaultValue() {
        try (RegistryFixture f = new RegistryFixture("set-default").create()) {
            CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, f.path);
            key.setValue(null, Integer.valueOf(5));
            assertEquals(Integer.valueOf(5), key.getValue(""));
            key.setValue("", null);
            assertNull(f.query(null));
        }
    }

    private static String escape(String text) {
        StringBuilder out = new StringBuilder();
        for (char c : text.toCharArray()) {
            out.append(c >= 0x20 && c < 0x7f ? String.valueOf(c) : String.format("\\u%04x", (int) c));
        }
        return out.toString();
    }
}
