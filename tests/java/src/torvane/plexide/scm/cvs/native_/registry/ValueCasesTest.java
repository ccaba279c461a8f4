package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.nio.file.Path;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.DynamicTest;
import org.junit.jupiter.api.TestFactory;

/**
 * getValue and setValue over the shared table of cases, named by the system property
 * {@code cvsreg.value.cases}.
 */
class ValueCasesTest {
    @TestFactory
    Stream<DynamicTest> valueCases() throws Exception {
        String table = System.getProperty("cvsreg.value.cases");
        assertNotNull(table, "the system property cvsreg.value.cases must name the cases table");
        return ValueCase.read(Path.of(table)).stream()
                .map(c -> DynamicTest.dynamicTest(c.id + " (line " + c.line + ")", () -> run(c)));
    }

    @AfterAll
    static void removeKeys() {
        RegistryFixture.removeBase();
    }

    private static void run(ValueCase c) {
        try (RegistryFixture fixture = new RegistryFixture("cases\\" + c.id)) {
            if (c.keyPresent) {
                fixture.create();
            }
            if (c.stored != null) {
                fixture.set(c.name, c.stored.type, c.stored.data);
            }
            RegistryFixture.Failure failure = applyHook(c, fixture);
            CVSWin32RegKey key = new CVSWin32RegKey(CVSWin32RegKey.HKEY_CURRENT_USER, fixture.path);

            Object result = null;
            Throwable thrown = null;
            try {
                if (c.isSet) {
                    key.setValue(c.name, c.input);
                } else {
                    result = key.getValue(c.name);
                }
            } catch (Throwable t) {
                thrown = t;
            }
            if (failure != null) {
                assertTrue(failure.reached(), "the call never reached the armed failure of "
                        + failure.function + " after " + failure.skip + " calls");
            }

            if (c.expect.throwsClass != null) {
                assertNotNull(thrown, "expected " + c.expect.throwsClass + " \""
                        + c.expect.message + "\", got " + describe(result));
                assertEquals(c.expect.throwsClass, thrown.getClass().getSimpleName(),
                        "class of " + thrown);
                assertEquals(c.expect.message, thrown.getMessage(), "message of " + thrown);
                if (c.isSet) {
                    assertUnchanged(c, fixture);
                }
                return;
            }
            if (thrown != null) {
                fail("unexpected " + thrown, thrown);
            }
            if (c.isSet) {
                checkStored(c, fixture, key);
            } else {
                assertValue(c.expect.value, result);
            }
        }
    }

    /** Arms the row's hook, after the fixture is built and before the call under test. */
    private static RegistryFixture.Failure applyHook(ValueCase c, RegistryFixture fixture) {
        if (c.hook.equals("deny:read")) {
            fixture.deny(RegistryFixture.READ_RIGHTS);
        } else if (c.hook.equals("deny:write")) {
            fixture.deny(RegistryFixture.WRITE_RIGHTS);
        } else if (c.hook.startsWith("fail:")) {
            String[] parts = c.hook.split(":");
            if (parts.length != 4) {
                throw new IllegalArgumentException("hook must be fail:FUNCTION:SKIP:ERROR: " + c.hook);
            }
            return RegistryFixture.failNextCall(parts[1], Integer.parseInt(parts[2]),
                    Integer.parseInt(parts[3]));
        }
        return null;
    }

    /** A failed set leaves the key as it was: the same value, or no value, or no key. */
    private static void assertUnchanged(ValueCase c, RegistryFixture fixture) {
        if (!c.keyPresent) {
            assertFalse(fixture.exists(), "a failed set must not create the key");
            return;
        }
        assertEquals(c.stored == null ? null : c.stored.toStored(), fixture.query(c.name),
                "the stored value after a failed set");
    }

    /** Checks what a successful set left in the registry, then reads it back through the class. */
    private static void checkStored(ValueCase c, RegistryFixture fixture, CVSWin32RegKey key) {
        if (c.expect.stored == null) {
            if (c.keyPresent) {
                assertNull(fixture.query(c.name), "the value must be gone");
            } else {
                assertFalse(fixture.exists(), "deleting a value must not create the key");
            }
            return;
        }
        assertEquals(c.expect.stored.toStored(), fixture.query(c.name), "the stored value");
        // A key that may not be read cannot be read back through the class either; a delete
        // that failed has no written value to read back.
        if (!c.hook.equals("deny:read") && c.input != null) {
            assertValue(c.input, key.getValue(c.name));
        }
    }

    /** Compares by class and content, arrays included. */
    static void assertValue(Object expected, Object actual) {
        if (expected == null || actual == null || expected.getClass() != actual.getClass()) {
            fail("expected " + describe(expected) + ", got " + describe(actual));
        }
        boolean equal = expected instanceof byte[]
                ? Arrays.equals((byte[]) expected, (byte[]) actual)
                : expected.equals(actual);
        if (!equal) {
            fail("expected " + describe(expected) + ", got " + describe(actual));
        }
    }

    /** @return the value with its class, text escaped so that every character shows */
    static String describe(Object value) {
        if (value == null) {
            return "null";
        }
        if (value instanceof byte[]) {
            return "byte[" + ((byte[]) value).length + "] " + ValueCase.hex((byte[]) value);
        }
        if (value instanceof String) {
            StringBuilder out = new StringBuilder("String \"");
            for (char ch : ((String) value).toCharArray()) {
                if (ch >= 0x20 && ch < 0x7F && ch != '\\') {
                    out.append(ch);
                } else {
                    out.append(String.format("\\u%04x", (int) ch));
                }
            }
            return out.append('"').toString();
        }
        return value.getClass().getSimpleName() + " " + value;
    }
}
