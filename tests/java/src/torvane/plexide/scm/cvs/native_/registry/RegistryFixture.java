package torvane.plexide.scm.cvs.native_.registry;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import com.sun.jna.ptr.PointerByReference;
import java.util.Arrays;

/**
 * Registry keys for the tests, made and read through the registry's own functions (JNA), so
 * that what the library writes is checked apart from what it reads.
 *
 * <p>On Windows the functions come from Advapi32 and drive the real registry; elsewhere from
 * the emulation, which also offers the failure hooks and the open handle count. Each fixture
 * owns one key below {@code HKEY_CURRENT_USER\Software\CVSWin32RegKeyTests} and removes it on
 * {@link #close()}.
 */
final class RegistryFixture implements AutoCloseable {
    /** The registry functions the fixtures call, with the signatures of {@code <windows.h>}. */
    interface Registry extends Library {
        int RegCreateKeyExA(Pointer key, String subKey, int reserved, String keyClass,
                int options, int sam, Pointer security, PointerByReference result,
                IntByReference disposition);

        int RegOpenKeyExA(Pointer key, String subKey, int options, int sam,
                PointerByReference result);

        int RegSetValueExA(Pointer key, String name, int reserved, int type, byte[] data,
                int size);

        /** The name as raw NUL-terminated bytes, for names in encodings of other programs. */
        int RegSetValueExA(Pointer key, byte[] name, int reserved, int type, byte[] data,
                int size);

        int RegQueryValueExA(Pointer key, String name, Pointer reserved, IntByReference type,
                byte[] data, IntByReference size);

        int RegDeleteValueA(Pointer key, String name);

        int RegDeleteTreeA(Pointer key, String subKey);

        int RegCloseKey(Pointer key);
    }

    /** The emulation's controls; absent from the real registry. */
    interface Emulation extends Registry {
        void RegEmuReset();

        int RegEmuOpenHandleCount();

        int RegEmuPredefinedKeyCloseCount();

        int RegEmuCallCount(String function);

        int RegEmuFailNextCall(String function, int skip, int error);

        int RegEmuDenyAccess(Pointer key, String subKey, int rights);
    }

    static final int ERROR_SUCCESS = 0;
    static final int ERROR_FILE_NOT_FOUND = 2;
    static final int ERROR_MORE_DATA = 234;

    static final int KEY_QUERY_VALUE = 0x0001;
    static final int KEY_SET_VALUE = 0x0002;
    static final int KEY_ALL_ACCESS = 0xF003F;
    /** The rights a reader asks for; READ_CONTROL is left out, writers ask for it too. */
    static final int READ_RIGHTS = 0x0019;
    /** The rights a writer asks for, without READ_CONTROL. */
    static final int WRITE_RIGHTS = 0x0006;

    /** HKEY_CURRENT_USER as a pointer: the 32-bit value sign-extended, as Windows does. */
    static final Pointer HKCU = root(CVSWin32RegKey.HKEY_CURRENT_USER);

    /** The key under which every fixture makes its own. */
    static final String BASE = "Software\\CVSWin32RegKeyTests";

    static final Registry REGISTRY;
    /** The emulation, or null on the real registry. */
    static final Emulation EMULATION;

    static {
        if (Platform.isWindows()) {
            REGISTRY = Native.load("Advapi32", Registry.class);
            EMULATION = null;
        } else {
            EMULATION = Native.load("regemu", Emulation.class);
            REGISTRY = EMULATION;
        }
    }

    /** The path of this fixture's key below HKEY_CURRENT_USER. */
    final String path;
    /** This fixture's key, held open from creation to close; null while it does not exist. */
    private Pointer key;
    private final int baselineHandles;

    /**
     * Records the open handle count; makes no key yet.
     *
     * @param name the key's name below {@link #BASE}, parts separated by '\'
     */
    RegistryFixture(String name) {
        this.path = BASE + "\\" + name;
        this.baselineHandles = openHandleCount();
        // A key left behind by an interrupted run must not leak into this one.
        REGISTRY.RegDeleteTreeA(HKCU, path);
    }

    /** @return the root {@code value} names, as a pointer-sized handle */
    static Pointer root(int value) {
        return new Pointer(value);
    }

    /** @return the handle's value as the Java classes pass it, failing if it does not fit */
    static int handleValue(Pointer handle) {
        long value = Pointer.nativeValue(handle);
        assertEquals(value, (long) (int) value, "a key handle must fit in the int the classes keep");
        return (int) value;
    }

    static boolean emulated() {
        return EMULATION != null;
    }

    /** Skips the calling test where the registry is the real one. */
    static void assumeEmulation() {
        assumeTrue(emulated(), "needs the emulated registry");
    }

    static int openHandleCount() {
        return emulated() ? EMULATION.RegEmuOpenHandleCount() : 0;
    }

    /** Creates this fixture's key (and its parents) and keeps it open. */
    RegistryFixture create() {
        key = createKey(HKCU, path);
        return this;
    }

    /** @return this fixture's open key */
    Pointer key() {
        if (key == null) {
            throw new IllegalStateException("the key of " + path + " has not been created");
        }
        return key;
    }

    /** @return a new open key {@code subKey} below {@code parent}; the caller closes it */
    static Pointer createKey(Pointer parent, String subKey) {
        PointerByReference result = new PointerByReference();
        check("RegCreateKeyExA " + subKey, REGISTRY.RegCreateKeyExA(parent, subKey, 0, null, 0,
                KEY_ALL_ACCESS, null, result, null));
        return result.getValue();
    }

    static void closeKey(Pointer key) {
        check("RegCloseKey", REGISTRY.RegCloseKey(key));
    }

    /** Stores a value under this fixture's key; a null name is the default value. */
    void set(String name, int type, byte[] data) {
        set(key(), name, type, data);
    }

    static void set(Pointer key, String name, int type, byte[] data) {
        check("RegSetValueExA " + name, REGISTRY.RegSetValueExA(key, name, 0, type, data,
                data.length));
    }

    /** A value as the registry holds it: its type and its bytes. */
    static final class Stored {
        final int type;
        final byte[] data;

        Stored(int type, byte[] data) {
            this.type = type;
            this.data = data;
        }

        @Override
        public boolean equals(Object other) {
            return other instanceof Stored && ((Stored) other).type == type
                    && Arrays.equals(((Stored) other).data, data);
        }

        @Override
        public int hashCode() {
            return type * 31 + Arrays.hashCode(data);
        }

        @Override
        public String toString() {
            return type + ":" + ValueCase.hex(data);
        }
    }

    /** @return the value under this fixture's key, or null when there is none */
    Stored query(String name) {
        return query(key(), name);
    }

    static Stored query(Pointer key, String name) {
        IntByReference type = new IntByReference();
        IntByReference size = new IntByReference();
        int status = REGISTRY.RegQueryValueExA(key, name, null, type, null, size);
        if (status == ERROR_FILE_NOT_FOUND) {
            return null;
        }
        check("RegQueryValueExA (size) " + name, status);
        byte[] data = new byte[size.getValue()];
        status = REGISTRY.RegQueryValueExA(key, name, null, type, data.length == 0 ? null : data,
                size);
        check("RegQueryValueExA " + name, status);
        return new Stored(type.getValue(), Arrays.copyOf(data, size.getValue()));
    }

    /** @return whether this fixture's path names an existing key */
    boolean exists() {
        PointerByReference result = new PointerByReference();
        int status = REGISTRY.RegOpenKeyExA(HKCU, path, 0, KEY_QUERY_VALUE, result);
        if (status == ERROR_FILE_NOT_FOUND) {
            return false;
        }
        check("RegOpenKeyExA " + path, status);
        closeKey(result.getValue());
        return true;
    }

    /** Denies later opens of this fixture's key that ask for any of {@code rights}. */
    void deny(int rights) {
        assumeEmulation();
        check("RegEmuDenyAccess", EMULATION.RegEmuDenyAccess(HKCU, path, rights));
    }

    /** A failure armed with RegEmuFailNextCall; tells afterwards whether it was reached. */
    static final class Failure {
        final String function;
        final int skip;
        private final int callsBefore;

        private Failure(String function, int skip) {
            this.function = function;
            this.skip = skip;
            this.callsBefore = EMULATION.RegEmuCallCount(function);
        }

        boolean reached() {
            return EMULATION.RegEmuCallCount(function) - callsBefore > skip;
        }
    }

    /** Lets {@code skip} further calls of {@code function} pass and fails the next one. */
    static Failure failNextCall(String function, int skip, int error) {
        assumeEmulation();
        Failure failure = new Failure(function, skip);
        check("RegEmuFailNextCall " + function, EMULATION.RegEmuFailNextCall(function, skip, error));
        return failure;
    }

    /**
     * Closes the key, removes it and checks that no handle opened since the fixture was made is
     * still open. Denials and armed failures end with an emulation reset.
     */
    @Override
    public void close() {
        try {
            if (key != null) {
                closeKey(key);
                key = null;
            }
            if (emulated()) {
                assertEquals(baselineHandles, EMULATION.RegEmuOpenHandleCount(),
                        "open key handles after " + path);
            }
        } finally {
            if (emulated()) {
                EMULATION.RegEmuReset();
            } else {
                REGISTRY.RegDeleteTreeA(HKCU, path);
            }
        }
    }

    /** Removes the parent of all fixture keys, once the tests are done. */
    static void removeBase() {
        int status = REGISTRY.RegDeleteTreeA(HKCU, BASE);
        if (status != ERROR_FILE_NOT_FOUND) {
            check("RegDeleteTreeA " + BASE, status);
        }
    }

    static void check(String what, int status) {
        if (status != ERROR_SUCCESS) {
            throw new IllegalStateException(what + " failed with error " + status);
        }
    }
}
