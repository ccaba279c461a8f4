package torvane.plexide.scm.cvs.native_.registry;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/** One row of the value cases table; the table's header describes the columns. */
final class ValueCase {
    /** A value stored before the call, or expected after it: TYPE:HEX. */
    static final class StoredValue {
        final int type;
        final byte[] data;

        StoredValue(int type, byte[] data) {
            this.type = type;
            this.data = data;
        }

        RegistryFixture.Stored toStored() {
            return new RegistryFixture.Stored(type, data);
        }
    }

    /** What the call should do: return or store a value, or throw. */
    static final class Expectation {
        /** get: the value returned; set: null. */
        final Object value;
        /** set: the value stored afterwards, or null for none. */
        final StoredValue stored;
        /** The simple name of the class thrown, or null when nothing is thrown. */
        final String throwsClass;
        final String message;

        private Expectation(Object value, StoredValue stored, String throwsClass, String message) {
            this.value = value;
            this.stored = stored;
            this.throwsClass = throwsClass;
            this.message = message;
        }
    }

    final int line;
    final String id;
    final boolean isSet;
    final boolean keyPresent;
    /** The value stored under {@link #name} before the call, or null for none. */
    final StoredValue stored;
    /** The value name passed to the call; null for &lt;null&gt;. */
    final String name;
    final String hook;
    /** set: the object passed to setValue (possibly null). */
    final Object input;
    final Expectation expect;

    private ValueCase(int line, String[] columns) {
        this.line = line;
        this.id = columns[0];
        switch (columns[1]) {
            case "get":
                isSet = false;
                break;
            case "set":
                isSet = true;
                break;
            default:
                throw new IllegalArgumentException("op must be get or set: " + columns[1]);
        }
        switch (columns[2]) {
            case "present":
                keyPresent = true;
                break;
            case "missing":
                keyPresent = false;
                break;
            default:
                throw new IllegalArgumentException("key must be present or missing: " + columns[2]);
        }
        stored = columns[3].equals("-") ? null : storedValue(columns[3]);
        if (stored != null && !keyPresent) {
            throw new IllegalArgumentException("a value cannot be stored under a missing key");
        }
        name = columns[4].equals("<null>") ? null : columns[4];
        hook = columns[5];
        if (!hook.equals("-") && !hook.startsWith("fail:") && !hook.equals("deny:read")
                && !hook.equals("deny:write")) {
            throw new IllegalArgumentException("unknown hook: " + hook);
        }
        if (isSet) {
            input = input(columns[6]);
        } else {
            if (!columns[6].equals("-")) {
                throw new IllegalArgumentException("get takes no input: " + columns[6]);
            }
            input = null;
        }
        expect = expectation(columns[7], isSet);
    }

    @Override
    public String toString() {
        return id;
    }

    /** @return the cases of the table, in its order */
    static List<ValueCase> read(Path table) throws IOException {
        List<ValueCase> cases = new ArrayList<>();
        Set<String> ids = new HashSet<>();
        List<String> lines = Files.readAllLines(table, StandardCharsets.UTF_8);
        for (int i = 0; i < lines.size(); i++) {
            String text = lines.get(i);
            if (text.isEmpty() || text.startsWith("#")) {
                continue;
            }
            String[] columns = text.split("\t", -1);
            try {
                if (columns.length != 8) {
                    throw new IllegalArgumentException("expected 8 columns, found " + columns.length);
                }
                ValueCase c = new ValueCase(i + 1, columns);
                if (!ids.add(c.id)) {
                    throw new IllegalArgumentException("duplicate id " + c.id);
                }
                cases.add(c);
            } catch (IllegalArgumentException e) {
                throw new IllegalArgumentException(table + ":" + (i + 1) + ": " + e.getMessage(), e);
            }
        }
        return cases;
    }

    /** @return the stored value TYPE:HEX */
    static StoredValue storedValue(String text) {
        int colon = text.indexOf(':');
        if (colon < 0) {
            throw new IllegalArgumentException("stored value must be TYPE:HEX: " + text);
        }
        return new StoredValue(Integer.parseInt(text.substring(0, colon)),
                bytes(text.substring(colon + 1)));
    }

    private static Object input(String text) {
        if (text.equals("null")) {
            return null;
        }
        if (text.equals("Object")) {
            return new Object();
        }
        int colon = text.indexOf(':');
        if (colon < 0) {
            throw new IllegalArgumentException("unknown input: " + text);
        }
        String rest = text.substring(colon + 1);
        switch (text.substring(0, colon)) {
            case "String":
                return text(rest);
            case "Integer":
                return Integer.valueOf(rest);
            case "Bytes":
                return bytes(rest);
            case "Long":
                return Long.valueOf(rest);
            case "Short":
                return Short.valueOf(rest);
            case "Boolean":
                return Boolean.valueOf(rest);
            case "char[]":
                return text(rest).toCharArray();
            case "int[]":
                return rest.isEmpty() ? new int[0]
                        : java.util.Arrays.stream(rest.split(",")).mapToInt(Integer::parseInt)
                                .toArray();
            default:
                throw new IllegalArgumentException("unknown input: " + text);
        }
    }

    private static Expectation expectation(String text, boolean isSet) {
        if (text.startsWith("throws:")) {
            String rest = text.substring("throws:".length());
            int colon = rest.indexOf(':');
            if (colon < 0) {
                throw new IllegalArgumentException("expected throws:CLASS:MESSAGE: " + text);
            }
            return new Expectation(null, null, rest.substring(0, colon), rest.substring(colon + 1));
        }
        if (isSet) {
            if (text.equals("absent")) {
                return new Expectation(null, null, null, null);
            }
            if (text.startsWith("stored:")) {
                return new Expectation(null, storedValue(text.substring("stored:".length())), null,
                        null);
            }
            throw new IllegalArgumentException("unknown set expectation: " + text);
        }
        int colon = text.indexOf(':');
        String rest = colon < 0 ? "" : text.substring(colon + 1);
        switch (colon < 0 ? text : text.substring(0, colon)) {
            case "String":
                return new Expectation(text(rest), null, null, null);
            case "Integer":
                return new Expectation(Integer.valueOf(rest), null, null, null);
            case "Bytes":
                return new Expectation(bytes(rest), null, null, null);
            default:
                throw new IllegalArgumentException("unknown get expectation: " + text);
        }
    }

    /** @return TEXT with its escapes (\\uXXXX, \\\\, \\t) replaced */
    static String text(String escaped) {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < escaped.length(); i++) {
            char c = escaped.charAt(i);
            if (c != '\\') {
                out.append(c);
                continue;
            }
            if (i + 1 >= escaped.length()) {
                throw new IllegalArgumentException("text ends in a lone backslash: " + escaped);
            }
            char kind = escaped.charAt(++i);
            if (kind == '\\') {
                out.append('\\');
            } else if (kind == 't') {
                out.append('\t');
            } else if (kind == 'u' && i + 4 < escaped.length()) {
                out.append((char) Integer.parseInt(escaped.substring(i + 1, i + 5), 16));
                i += 4;
            } else {
                throw new IllegalArgumentException("bad escape in text: " + escaped);
            }
        }
        return out.toString();
    }

    /** @return the bytes of a string of hex digit pairs (empty for "") */
    static byte[] bytes(String hex) {
        if (hex.length() % 2 != 0) {
            throw new IllegalArgumentException("odd number of hex digits: " + hex);
        }
        byte[] data = new byte[hex.length() / 2];
        for (int i = 0; i < data.length; i++) {
            int high = Character.digit(hex.charAt(2 * i), 16);
            int low = Character.digit(hex.charAt(2 * i + 1), 16);
            if (high < 0 || low < 0) {
                throw new IllegalArgumentException("not hex: " + hex);
            }
            data[i] = (byte) (high << 4 | low);
        }
        return data;
    }

    static String hex(byte[] data) {
        StringBuilder out = new StringBuilder();
        for (byte b : data) {
            out.append(String.format("%02X", b & 0xFF));
        }
        return out.toString();
    }
}
