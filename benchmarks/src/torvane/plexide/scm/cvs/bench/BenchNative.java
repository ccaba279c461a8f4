package torvane.plexide.scm.cvs.bench;

/** The benchmark's own native methods (libcvsreg_bench_native), linked to the emulated registry. */
final class BenchNative {
    static {
        System.loadLibrary("cvsreg_bench_native");
    }

    private BenchNative() {}

    /** Does nothing: the cost of a native call itself. */
    static native void empty();

    /** Sets the text {@link #jniWork} returns. */
    static native void prepareJniWork(String resultText);

    /**
     * Makes the JNI calls of a getValue of a short String on {@code host} (any object with the
     * fields m_root and m_path), without calling the registry.
     */
    static native String jniWork(Object host, String name);

    /** Only the GetObjectClass and the two GetFieldID calls of a getValue; returns 2. */
    static native int fieldIds(Object host);

    /** Fixes the value {@link #registryWork} reads in {@code slot} (0 to 7). */
    static native int prepareRegistryWork(int slot, int root, String path, String name);

    /**
     * Makes the registry calls of a getValue (open, size, data, close) of the value of
     * {@code slot}, and nothing else.
     */
    static native int registryWork(int slot);

    /** Allocates and touches the two buffers {@link #memcpyOnce} copies between. */
    static native int prepareMemcpy(int size);

    /** One memcpy of the prepared size. */
    static native int memcpyOnce();

    /** Creates the key below {@code root} if need be and writes one value. */
    static native int putValue(int root, String path, String name, int type, byte[] data);

    /** Creates the key if need be and fills it with {@code count} REG_DWORD values v000000.... */
    static native int fillKey(int root, String path, int count);

    /** The emulation's count of open key handles. */
    static native int openHandleCount();
}
