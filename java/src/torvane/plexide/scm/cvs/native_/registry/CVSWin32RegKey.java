package torvane.plexide.scm.cvs.native_.registry;

/**
 * One registry key, named by a root key handle and a subkey path below it.
 *
 * <p>Every call opens the key afresh and closes it before returning; the object holds nothing
 * but the root and the path, so it is safe to share between threads. Values are converted by
 * their registry type: {@code REG_SZ} is a {@link String}, {@code REG_DWORD} an {@link Integer},
 * {@code REG_BINARY} a {@code byte[]}.
 */
public class CVSWin32RegKey {
    /** Predefined root keys, as the registry numbers them. */
    public static final int HKEY_CLASSES_ROOT = 0x80000000;
    public static final int HKEY_CURRENT_USER = 0x80000001;
    public static final int HKEY_LOCAL_MACHINE = 0x80000002;
    public static final int HKEY_USERS = 0x80000003;
    public static final int HKEY_PERFORMANCE_DATA = 0x80000004;
    public static final int HKEY_CURRENT_CONFIG = 0x80000005;

    static {
        System.loadLibrary("CVSWin32RegKey");
    }

    /** The handle value of the key under which {@link #m_path} is opened. Read by native code. */
    private final int m_root;
    /** The subkey path below the root, parts separated by '\'; null or "" names the root. */
    private final String m_path;

    /**
     * @param root a predefined root such as {@link #HKEY_CURRENT_USER}, or the handle value of an
     *     open key
     * @param path the subkey path below {@code root}; null or "" names {@code root} itself
     */
    public CVSWin32RegKey(int root, String path) {
        m_root = root;
        m_path = path;
    }

    /** @return the root key handle given to the constructor */
    public int getRoot() {
        return m_root;
    }

    /** @return the subkey path given to the constructor */
    public String getPath() {
        return m_path;
    }

    /**
     * Reads one value of the key.
     *
     * @param name the value's name; null or "" reads the key's default value
     * @return a String for {@code REG_SZ}, an Integer for {@code REG_DWORD}, a byte[] for
     *     {@code REG_BINARY}
     * @throws CVSWin32RegKeyException "open key failed" when the key is missing or may not be
     *     read; "query value key failed" when the value is missing or cannot be read; "unsupported
     *     value type" for any other registry type
     */
    public native Object getValue(String name);

    /**
     * Writes one value of the key, which must already exist, or deletes it.
     *
     * @param name the value's name; null or "" is the key's default value
     * @param value a String (stored as {@code REG_SZ}), an Integer ({@code REG_DWORD}) or a
     *     byte[] ({@code REG_BINARY}); null deletes the value, silently if it is not there
     * @throws CVSWin32RegKeyException "open key failed" when the key is missing or may not be
     *     written; "unsupported value type" for a value of any other class (nothing is written);
     *     "query value key failed" when the registry refuses the write
     */
    public native void setValue(String name, Object value);

    /**
     * @return a new walk over the names of this key's values. The walk opens the key on its first
     *     {@code hasNext} or {@code next} and keeps it open until it ends; close it to end it early.
     */
    public CVSWin32RegKeyNameIterator valueNames() {
        return new CVSWin32RegKeyNameIterator(m_root, m_path);
    }
}
