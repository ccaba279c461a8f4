package torvane.plexide.scm.cvs.example;

import java.io.PrintStream;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKey;
import torvane.plexide.scm.cvs.native_.registry.CVSWin32RegKeyException;

/**
 * Reads the registry from the command line through the CVSWin32RegKey classes.
 *
 * <pre>
 * RegistryTool get KEY NAME     prints the value NAME of KEY ("" for the default value)
 * </pre>
 *
 * <p>Exits with 0 on success, 1 when the registry operation fails (its message goes to standard
 * error) and 2 for a wrong command line.
 */
public final class RegistryTool {
    static final int EXIT_OK = 0;
    static final int EXIT_FAILED = 1;
    static final int EXIT_USAGE = 2;

    /** What a command does with its arguments, already counted. */
    @FunctionalInterface
    private interface Action {
        void run(String[] args, PrintStream out) throws UsageException;
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
    }

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
            Command command = COMMANDS.get(args[0]);
            if (command == null) {
                throw new UsageException("unknown command \"" + args[0] + "\"");
            }
            String[] rest = Arrays.copyOfRange(args, 1, args.length);
            if (rest.length != command.arguments.length) {
                throw new UsageException(command.name + " takes " + command.arguments.length
                        + " arguments: " + String.join(" ", command.arguments));
            }
            command.action.run(rest, out);
            out.flush();
            return out.checkError() ? EXIT_FAILED : EXIT_OK;
        } catch (UsageException e) {
            err.println("RegistryTool: " + e.getMessage());
            usage(err);
            return EXIT_USAGE;
        } catch (CVSWin32RegKeyException e) {
            err.println("RegistryTool: " + e.getMessage());
            return EXIT_FAILED;
        } catch (UnsatisfiedLinkError e) {
            err.println("RegistryTool: cannot load the native library (" + e.getMessage()
                    + "); set -Djava.library.path to the folder that holds it");
            return EXIT_FAILED;
        }
    }

    private static void usage(PrintStream stream) {
        stream.println("usage: RegistryTool COMMAND ARGUMENTS...");
        for (Command command : COMMANDS.values()) {
            stream.printf("  %-24s %s%n", command.synopsis(), command.summary);
        }
        stream.println("KEY is a root key, then \\ and a path: HKEY_CURRENT_USER\\Software\\... or"
                + " HKCU\\Software\\...");
    }

    private static void get(String[] args, PrintStream out) throws UsageException {
        CVSWin32RegKey key = KeyName.parse(args[0]);
        out.println(describe(key.getValue(args[1])));
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
