package torvane.plexide.scm.cvs.example;

import java.util.Locale;
import java.util.Map;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKey;

/** A key named as on the command line: a root key, a backslash, then the path below it. */
final class KeyName {
    private static final Map<String, Integer> ROOTS = Map.ofEntries(
            Map.entry("HKEY_CLASSES_ROOT", CVSWin32RegKey.HKEY_CLASSES_ROOT),
            Map.entry("HKCR", CVSWin32RegKey.HKEY_CLASSES_ROOT),
            Map.entry("HKEY_CURRENT_USER", CVSWin32RegKey.HKEY_CURRENT_USER),
            Map.entry("HKCU", CVSWin32RegKey.HKEY_CURRENT_USER),
            Map.entry("HKEY_LOCAL_MACHINE", CVSWin32RegKey.HKEY_LOCAL_MACHINE),
            Map.entry("HKLM", CVSWin32RegKey.HKEY_LOCAL_MACHINE),
            Map.entry("HKEY_USERS", CVSWin32RegKey.HKEY_USERS),
            Map.entry("HKU", CVSWin32RegKey.HKEY_USERS),
            Map.entry("HKEY_CURRENT_CONFIG", CVSWin32RegKey.HKEY_CURRENT_CONFIG),
            Map.entry("HKCC", CVSWin32RegKey.HKEY_CURRENT_CONFIG),
            Map.entry("HKEY_PERFORMANCE_DATA", CVSWin32RegKey.HKEY_PERFORMANCE_DATA));

    private KeyName() {}

    /** A root key's handle and the path below it (null for the root itself). */
    record Parts(int root, String path) {}

    /**
     * @param text for instance {@code HKCU\Software\Torvane} or {@code HKEY_LOCAL_MACHINE}
     * @return the root and path it names
     * @throws UsageException when the text does not start with a known root
     */
    static Parts split(String text) throws UsageException {
        int slash = text.indexOf('\\');
        String root = slash < 0 ? text : text.substring(0, slash);
        Integer handle = ROOTS.get(root.toUpperCase(Locale.ROOT));
        if (handle == null) {
            throw new UsageException("unknown root key \"" + root + "\" in " + text
                    + " (use HKEY_CURRENT_USER, HKCU, HKEY_LOCAL_MACHINE, HKLM, ...)");
        }
        String path = slash < 0 ? null : text.substring(slash + 1);
        return new Parts(handle, path == null || path.isEmpty() ? null : path);
    }

    /**
     * @return the key {@code text} names; a root alone names the root itself
     * @throws UsageException when the text does not start with a known root
     */
    static CVSWin32RegKey parse(String text) throws UsageException {
        Parts parts = split(text);
        return new CVSWin32RegKey(parts.root(), parts.path());
    }
}
