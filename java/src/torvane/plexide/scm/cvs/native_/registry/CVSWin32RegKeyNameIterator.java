package torvane.plexide.scm.cvs.native_.registry;

import java.util.Iterator;

/**
 * One walk over the value names of a registry key, in the registry's index order.
 *
 * <p>The whole state of the walk lives in this object's fields, which native code reads and
 * writes. The key is opened by the first {@link #hasNext()} or {@link #next()} and held open
 * until the last name has been handed out or the enumeration fails; {@link #close()} ends a walk
 * early and closes the key, so use it in try-with-resources when a walk may be left before its
 * end. {@link #hasNext()}, {@link #next()} and {@link #close()} are synchronized, so a walk shared
 * between threads hands each name out once and closes its key once; different iterators are
 * independent.
 *
 * <p>The native code keeps {@link #m_hkey} at 0 whenever the key is not open, never touches
 * handle 0, and ends a walk whose fields describe no walk (changed by reflection, say) with
 * {@link CVSWin32RegKeyException} "enum value failed".
 */
public class CVSWin32RegKeyNameIterator implements Iterator<String>, AutoCloseable {
    static {
        System.loadLibrary("CVSWin32RegKey");
    }

    /** The handle value of the key under which {@link #m_path} is opened. */
    private final int m_root;
    /** The subkey path below the root. */
    private final String m_path;
    /** The open key's handle value while the walk is open; 0 whenever it is not. */
    private int m_hkey;
    /** The longest value name at opening, plus one for the terminator. */
    private int m_maxsize;
    /** -1 before the walk is opened; afterwards the index of the next name. */
    private int m_index = -1;
    /** The number of values the key held when the walk was opened. */
    private int m_count;

    /**
     * @param root a predefined root or the handle value of an open key
     * @param path the subkey path below {@code root}; null or "" names {@code root} itself
     */
    public CVSWin32RegKeyNameIterator(int root, String path) {
        m_root = root;
        m_path = path;
    }

    /**
     * Opens the walk if it is not open yet, then tells whether a name is left.
     *
     * @return true while names are left; false at the end, and false with an exception raised
     *     when the walk cannot be opened
     * @throws CVSWin32RegKeyException "open key failed" or "query info key failed" when the walk
     *     cannot be opened; the walk stays unopened, so a later call tries again. "enum value
     *     failed" when the fields describe no walk, which ends it
     */
    @Override
    public synchronized native boolean hasNext();

    /**
     * Opens the walk if it is not open yet, then hands out the next value name.
     *
     * @return the next value name
     * @throws java.util.NoSuchElementException "past end of enumeration" when no name is left
     * @throws CVSWin32RegKeyException "open key failed" or "query info key failed" when the walk
     *     cannot be opened; "enum value failed" when the key changed under the walk so that the
     *     name cannot be read, or when the fields describe no walk, which ends the walk
     */
    @Override
    public synchronized native String next();

    /**
     * Ends the walk where it stands: closes its key if it is open, and afterwards
     * {@link #hasNext()} is false. A walk never opened is ended without opening it. Closing an
     * ended walk does nothing.
     */
    @Override
    public synchronized native void close();
}
