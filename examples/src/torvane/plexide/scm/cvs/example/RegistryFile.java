package torvane.plexide.scm.cvs.example;

import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;

/**
 * Writes a key and everything below it as a registry file, through the emulated registry's
 * {@code RegEmuExportFile}, reached with JNA in the library the native code uses.
 */
final class RegistryFile {
    /** The emulation's export, with the signature of {@code regemu.h}. */
    interface Emulation extends Library {
        int RegEmuExportFile(Pointer key, String subkey, String path);
    }

    /** A failed export, with the emulation's error code in its message. */
    static final class ExportException extends RuntimeException {
        private static final long serialVersionUID = 1L;

        ExportException(String message) {
            super(message);
        }
    }

    private RegistryFile() {}

    /** Writes {@code key} to {@code file}; throws ExportException when that fails. */
    static void export(KeyName.Parts key, String file) {
        if (Platform.isWindows()) {
            throw new ExportException("export works on the emulated registry; on Windows use"
                    + " regedit /e FILE KEY");
        }
        Emulation emulation = Native.load("regemu", Emulation.class);
        // Predefined keys are sign-extended to the pointer's width, as in <windows.h>.
        int error = emulation.RegEmuExportFile(new Pointer(key.root()), key.path(), file);
        if (error != 0) {
            throw new ExportException("export to " + file + " failed: " + describe(error));
        }
    }

    private static String describe(int error) {
        switch (error) {
            case 2:
                return "no such key (error 2)";
            case 3:
                return "no such folder (error 3)";
            case 5:
                return "access denied (error 5)";
            default:
                return "error " + error;
        }
    }
}
