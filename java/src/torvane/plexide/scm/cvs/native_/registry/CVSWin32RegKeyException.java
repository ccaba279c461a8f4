package torvane.plexide.scm.cvs.native_.registry;

/**
 * Raised by the native registry methods when a registry operation fails.
 *
 * <p>The message is one of a few fixed texts ("open key failed", "query value key failed",
 * "unsupported value type", "query info key failed", "enum value failed"); the registry's own
 * error code is not passed on. It is unchecked so that {@link java.util.Iterator#hasNext()} and
 * {@link java.util.Iterator#next()} can raise it.
 */
public class CVSWin32RegKeyException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** @param message the fixed text naming the operation that failed */
    public CVSWin32RegKeyException(String message) {
        super(message);
    }
}
