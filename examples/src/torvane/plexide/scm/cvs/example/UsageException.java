package torvane.plexide.scm.cvs.example;

/** The command line is wrong: the tool prints the message and its usage, and exits with 2. */
final class UsageException extends Exception {
    private static final long serialVersionUID = 1L;

    UsageException(String message) {
        super(message);
    }
}
