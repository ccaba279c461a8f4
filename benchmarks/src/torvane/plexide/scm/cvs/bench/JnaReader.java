package torvane.plexide.scm.cvs.bench;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import com.sun.jna.ptr.IntByReference;
import com.sun.jna.ptr.PointerByReference;

/**
 * Reads a REG_SZ value the way a Java developer without the library would: the registry
 * functions called through JNA, here from the emulated registry ("regemu" on jna.library.path).
 */
final class JnaReader {
    static final int KEY_READ = 0x20019;

    /** The ordinary JNA interface mapping. */
    interface Registry extends Library {
        int RegOpenKeyExA(Pointer key, String subKey, int options, int sam,
                PointerByReference result);

        int RegQueryValueExA(Pointer key, String name, Pointer reserved, IntByReference type,
                byte[] data, IntByReference size);

        int RegCloseKey(Pointer key);
    }

    /** The same functions through JNA's direct mapping. */
    static final class Direct {
        static {
            Native.register("regemu");
        }

        private Direct() {}

        static native int RegOpenKeyExA(Pointer key, String subKey, int options, int sam,
                PointerByReference result);

        static native int RegQueryValueExA(Pointer key, String name, Pointer reserved,
                IntByReference type, byte[] data, IntByReference size);

        static native int RegCloseKey(Pointer key);
    }

    private static Registry registry;

    private JnaReader() {}

    static synchronized Registry registry() {
        if (registry == null) {
            registry = Native.load("regemu", Registry.class);
        }
        return registry;
    }

    /** A predefined root as a pointer-sized handle: the int sign-extended. */
    static Pointer root(int value) {
        return new Pointer(value);
    }

    /** Open, query the size, query the data, close, decode: through the interface mapping. */
    static String readString(Registry reg, Pointer root, String path, String name) {
        PointerByReference opened = new PointerByReference();
        check(reg.RegOpenKeyExA(root, path, 0, KEY_READ, opened));
        Pointer key = opened.getValue();
        try {
            IntByReference type = new IntByReference();
            IntByReference size = new IntByReference();
            check(reg.RegQueryValueExA(key, name, null, type, null, size));
            byte[] data = new byte[size.getValue()];
            check(reg.RegQueryValueExA(key, name, null, type, data, size));
            return Native.toString(data);
        } finally {
            reg.RegCloseKey(key);
        }
    }

    /** The same through the direct mapping. */
    static String readStringDirect(Pointer root, String path, String name) {
        PointerByReference opened = new PointerByReference();
        check(Direct.RegOpenKeyExA(root, path, 0, KEY_READ, opened));
        Pointer key = opened.getValue();
        try {
            IntByReference type = new IntByReference();
            IntByReference size = new IntByReference();
            check(Direct.RegQueryValueExA(key, name, null, type, null, size));
            byte[] data = new byte[size.getValue()];
            check(Direct.RegQueryValueExA(key, name, null, type, data, size));
            return Native.toString(data);
        } finally {
            Direct.RegCloseKey(key);
        }
    }

    private static void check(int status) {
        if (status != 0) {
            throw new IllegalStateException("registry call failed with error " + status);
        }
    }
}
