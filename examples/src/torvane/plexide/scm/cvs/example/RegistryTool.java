package torvane.plexide.scm.cvs.example;

import java.io.PrintStream;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKey;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyException;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyNameIterator;

/**
 * Reads the registry from the command line through the CVSWin32RegKey classes.
 *
 * <pre>
 * RegistryTool get KEY NAME              prints the value NAME of KEY ("" for the default value)
 * RegistryTool set KEY NAME KIND:VALUE   writes it: text:abc, number:42 or bytes:0a1bff
 * RegistryTool delete KEY NAME           deletes it
 * RegistryTool list KEY                  prints every value of KEY: NAME = TYPE: VALUE
 * RegistryTool export KEY FILE           writes KEY and everything below it to FILE as a
 *                                        registry file (the emulated registry only)
 * </pre>
 *
 * <p>Several commands may be given in one run, separated by {@code --}; they run in order and the
 * first failure stops the run. Exits with 0 on success, 1 when a registry operation fails (its
 * message goes to standard error) and 2 for a wrong command line.
 */
public final class RegistryTool {
    static final int EXIT_OK = 0;
    static final int EXIT_FAILED = 1;
    static final int EXIT_USAGE = 2;

    /**
     * Checks a command's arguments, already counted, and returns what runs it; a wrong argument
     * is a usage error before anything runs.
     */
    @FunctionalInterface
    private interface Action {
        Runnable prepare(String[] args, PrintStream out) throws UsageException;
    }

    /** One command: its name, the arguments it takes (for the usage text) and its action. */
    private static final class Command {
        final String name;
        final String[] arguments;
        final String summary;
        final Action action;

        Command(String name, String arguments, String summary, Action action) {
            this.name = name;
            this.arguments = arguments.split(" ");
            this.summary = summary;
            this.action = action;
        }

        String synopsis() {
            return name + " " + String.join(" ", arguments);
        }
    }

    /** The commands, in the order the usage text lists them. */
    private static final Map<String, Command> COMMANDS = new LinkedHashMap<>();

    private static void add(Command command) {
        COMMANDS.put(command.name, command);
    }

    static {
        add(new Command("get", "KEY NAME",
                "print the value NAME of KEY and its Java type (NAME \"\" is the default value)",
                RegistryTool::get));
        add(new Command("set", "KEY NAME KIND:VALUE",
                "write the value NAME of KEY: text:TEXT, number:INTEGER or bytes:HEX",
                RegistryTool::set));
        add(new Command("delete", "KEY NAME", "delete the value NAME of KEY",
                RegistryTool::delete));
        add(new Command("list", "KEY", "print every value of KEY as NAME = TYPE: VALUE",
                RegistryTool::list));
        add(new Command("export", "KEY FILE",
                "write KEY and all below it to FILE as a registry file (emulated registry)",
                RegistryTool::export));
    }

    /** Separates the commands of one run. */
    static final String SEPARATOR = "--";

    private RegistryTool() {}

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /** @return the exit status */
    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 1 && (args[0].equals("--help") || args[0].equals("-h"))) {
            usage(out);
            return EXIT_OK;
        }
        try {
            if (args.length == 0) {
                throw new UsageException("no command given");
            }
            // Every command is checked before the first one runs.
            java.util.List<Runnable> steps = new java.util.ArrayList<>();
            int start = 0;
            for (int end = 0; end <= args.length; end++) {
                if (end == args.length || args[end].equals(SEPARATOR)) {
                    steps.add(parse(Arrays.copyOfRange(args, start, end), out));
                    start = end + 1;
                }
            }
            for (Runnable step : steps) {
                step.run();
            }
            out.flush();
            return out.checkError() ? EXIT_FAILED : EXIT_OK;
        } catch (UsageException e) {
            err.println("RegistryTool: " + e.getMessage());
            usage(err);
            return EXIT_USAGE;
        } catch (CVSWin32RegKeyException | RegistryFile.ExportException e) {
            err.println("RegistryTool: " + e.getMessage());
            return EXIT_FAILED;
        } catch (UnsatisfiedLinkError e) {
            err.println("RegistryTool: cannot load the native library (" + e.getMessage()
                    + "); set -Djava.library.path to the folder that holds it");
            return EXIT_FAILED;
        }
    }

    /** @return the command {@code words} names, ready to run */
    private static Runnable parse(String[] words, PrintStream out) throws UsageException {
        if (words.length == 0) {
            throw new UsageException("empty command before or after " + SEPARATOR);
        }
        Command command = COMMANDS.get(words[0]);
        if (command == null) {
            throw new UsageException("unknown command \"" + words[0] + "\"");
        }
        String[] rest = Arrays.copyOfRange(words, 1, words.length);
        if (rest.length != command.arguments.length) {
            throw new UsageException(command.name + " takes " + command.arguments.length
                    + " arguments: " + String.join(" ", command.arguments));
        }
        return command.action.prepare(rest, out);
    }

    private static void usage(PrintStream stream) {
        stream.println("usage: RegistryTool COMMAND ARGUMENTS... [-- COMMAND ARGUMENTS...]");
        for (Command command : COMMANDS.values()) {
            stream.printf("  %-24s %s%n", command.synopsis(), command.summary);
        }
        stream.println("KEY is a root key, then \\ and a path: HKEY_CURRENT_USER\\Software\\... or"
                + " HKCU\\Software\\...");
    }

    private static Runnable get(String[] args, PrintStream out) throws UsageException {
        CVSWin32RegKey key = KeyName.parse(args[0]);
        return () -> out.println(describe(key.getValue(args[1])));
    }

    private static Runnable set(String[] args, PrintStream out) throws UsageException {
        CVSWin32RegKey key = KeyName.parse(args[0]);
        Object value = parseValue(args[2]);
        return () -> key.setValue(args[1], value);
    }

    private static Runnable delete(String[] args, PrintStream out) throws UsageException {
        CVSWin32RegKey key = KeyName.parse(args[0]);
        return () -> key.setValue(args[1], null);
    }

    private static Runnable list(String[] args, PrintStream out) throws UsageException {
        CVSWin32RegKey key = KeyName.parse(args[0]);
        return () -> {
            // Closing ends the walk and its key even when reading a value fails halfway.
            try (CVSWin32RegKeyNameIterator names = key.valueNames()) {
                while (names.hasNext()) {
                    String name = names.next();
                    out.println((name.isEmpty() ? "@" : name) + " = " + describe(key.getValue(name)));
                }
            }
        };
    }

    private static Runnable export(String[] args, PrintStream out) throws UsageException {
        KeyName.Parts key = KeyName.split(args[0]);
        return () -> RegistryFile.export(key, args[1]);
    }

    /** @return the String, Integer or byte[] that {@code text:..}, {@code number:..} or
     *     {@code bytes:..} names */
    static Object parseValue(String argument) throws UsageException {
        int colon = argument.indexOf(':');
        String kind = colon < 0 ? "" : argument.substring(0, colon);
        String text = argument.substring(colon + 1);
        switch (kind) {
            case "text":
                return text;
            case "number":
                try {
                    return Integer.valueOf(Integer.parseInt(text));
                } catch (NumberFormatException e) {
                    throw new UsageException("not a 32-bit integer: \"" + text + "\"");
                }
            case "bytes":
                String hex = text.replaceAll("[\\s,]", "");
                if (hex.length() % 2 != 0 || !hex.matches("[0-9a-fA-F]*")) {
                    throw new UsageException("not an even number of hex digits: \"" + text + "\"");
                }
                byte[] bytes = new byte[hex.length() / 2];
                for (int i = 0; i < bytes.length; i++) {
                    bytes[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
                }
                return bytes;
            default:
                throw new UsageException("a value is text:TEXT, number:INTEGER or bytes:HEX, not \""
                        + argument + "\"");
        }
    }

    /** @return the value's Java type, a colon, then the value: {@code Integer: 42} */
    static String describe(Object value) {
        if (value instanceof byte[]) {
            StringBuilder text = new StringBuilder("byte[]:");
            for (byte b : (byte[]) value) {
                text.append(String.format(" %02x", b & 0xFF));
            }
            return text.toString();
        }
        return value.getClass().getSimpleName() + ": " + value;
    }
}
