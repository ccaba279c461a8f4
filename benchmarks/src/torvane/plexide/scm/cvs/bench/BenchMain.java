package torvane.plexide.scm.cvs.bench;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.regex.Pattern;

/**
 * The benchmark's entry point: runs BenchFork in several fresh JVMs one after another, pools
 * their samples and hands them to Report.
 *
 * <pre>
 *   BenchMain RESULTS_DIR PLOT_DATA_DIR
 * </pre>
 *
 * Settings come from the environment (see Config); the forks inherit this JVM's library paths.
 */
public final class BenchMain {
    /** The settings, from environment variables; BENCH_QUICK=1 picks small defaults. */
    static final class Config {
        final int forks;
        final int batches;
        final long batchMs;
        final long warmupMs;
        final Pattern filter;
        final List<String> jvmOptions;
        /** A row measured while other processes took more CPU than this is measured again. */
        final double maxOthersCores;
        final int retries;
        /** Seconds each fork may spend measuring rows again. */
        final int retryBudgetS;

        private Config(int forks, int batches, long batchMs, long warmupMs, Pattern filter,
                List<String> jvmOptions, double maxOthersCores, int retries, int retryBudgetS) {
            this.forks = forks;
            this.batches = batches;
            this.batchMs = batchMs;
            this.warmupMs = warmupMs;
            this.filter = filter;
            this.jvmOptions = jvmOptions;
            this.maxOthersCores = maxOthersCores;
            this.retries = retries;
            this.retryBudgetS = retryBudgetS;
        }

        static Config fromEnvironment() {
            boolean quick = "1".equals(System.getenv("BENCH_QUICK"));
            String filter = System.getenv("BENCH_FILTER");
            String options = System.getenv("BENCH_JVM_OPTIONS");
            List<String> jvmOptions = new ArrayList<>();
            for (String option : (options == null ? "-Xms1g -Xmx1g -XX:+AlwaysPreTouch" : options).trim().split("\\s+")) {
                if (!option.isEmpty()) {
                    jvmOptions.add(option);
                }
            }
            return new Config(
                    number("BENCH_FORKS", quick ? 1 : 3),
                    number("BENCH_BATCHES", quick ? 5 : 15),
                    number("BENCH_BATCH_MS", quick ? 20 : 60),
                    number("BENCH_WARMUP_MS", quick ? 200 : 800),
                    filter == null || filter.isEmpty() ? null : Pattern.compile(filter),
                    jvmOptions,
                    number("BENCH_MAX_OTHERS_PERCENT", 15) / 100.0,
                    number("BENCH_RETRIES", quick ? 0 : 3),
                    number("BENCH_RETRY_BUDGET_S", 60));
        }

        private static int number(String name, int fallback) {
            String value = System.getenv(name);
            return value == null || value.isEmpty() ? fallback : Integer.parseInt(value.trim());
        }
    }

    /** Everything the forks reported for one row. */
    static final class Row {
        final String id;
        final String group;
        final String kind;
        final long bytes;
        final String label;
        final List<double[]> forkSamples = new ArrayList<>();
        /** Other processes' CPU (cores) while the row ran, one per fork. */
        final List<Double> others = new ArrayList<>();
        /** How many times each fork measured the row. */
        final List<Integer> attempts = new ArrayList<>();

        Row(String id, String group, String kind, long bytes, String label) {
            this.id = id;
            this.group = group;
            this.kind = kind;
            this.bytes = bytes;
            this.label = label;
        }
    }

    private BenchMain() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 2) {
            System.err.println("usage: BenchMain RESULTS_DIR PLOT_DATA_DIR");
            System.exit(2);
        }
        Config config = Config.fromEnvironment();
        String loadBefore = loadAverage();
        System.out.printf("bench: %d fork(s), %d batches of %d ms after %d ms warm-up; load %s%n",
                config.forks, config.batches, config.batchMs, config.warmupMs, loadBefore);
        Map<String, Row> rows = new LinkedHashMap<>();
        long started = System.nanoTime();
        for (int fork = 0; fork < config.forks; fork++) {
            runFork(config, fork, rows);
        }
        double minutes = (System.nanoTime() - started) / 60e9;
        String loadAfter = loadAverage();
        System.out.printf("bench: forks done in %.1f min; load %s%n", minutes, loadAfter);
        Report report = new Report(config, rows, loadBefore, loadAfter, minutes);
        boolean allPass = report.write(Path.of(args[0]), Path.of(args[1]));
        System.out.println(allPass ? "bench: every target met" : "bench: some targets missed");
    }

    private static void runFork(Config config, int fork, Map<String, Row> rows)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(System.getProperty("java.home") + File.separator + "bin" + File.separator
                + "java");
        command.addAll(config.jvmOptions);
        for (String property : new String[] {"java.library.path", "jna.library.path",
            "jna.boot.library.path"}) {
            String value = System.getProperty(property);
            if (value != null) {
                command.add("-D" + property + "=" + value);
            }
        }
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(BenchFork.class.getName());
        command.add(Integer.toString(fork));
        ProcessBuilder builder = new ProcessBuilder(command);
        builder.redirectError(ProcessBuilder.Redirect.INHERIT);
        // Each fork starts from an empty emulated registry.
        builder.environment().remove("REGEMU_IMPORT");
        Process process = builder.start();
        try (BufferedReader out = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            String line;
            while ((line = out.readLine()) != null) {
                String[] f = line.split("\t", -1);
                if (f[0].equals("ROW")) {
                    rows.computeIfAbsent(f[1],
                            id -> new Row(id, f[2], f[3], Long.parseLong(f[4]), f[5]));
                } else if (f[0].equals("SAMPLES")) {
                    String[] parts = f[3].split(",");
                    double[] values = new double[parts.length];
                    for (int i = 0; i < parts.length; i++) {
                        values[i] = Double.parseDouble(parts[i]);
                    }
                    Row row = rows.get(f[1]);
                    row.forkSamples.add(values);
                    System.out.printf("  fork %d  %-16s %s%n", fork + 1, f[1],
                            Report.describe(row, values));
                } else if (f[0].equals("OTHERS")) {
                    double cores = Double.parseDouble(f[3]);
                    int attempts = Integer.parseInt(f[4]);
                    rows.get(f[1]).others.add(cores);
                    rows.get(f[1]).attempts.add(attempts);
                    if (cores > config.maxOthersCores || attempts > 1) {
                        System.out.printf("  fork %d  %-16s (attempt %d; other processes took"
                                + " %.2f cores)%n", fork + 1, f[1], attempts, cores);
                    }
                } else if (!f[0].equals("SINK")) {
                    System.out.println(line);
                }
            }
        }
        int status = process.waitFor();
        if (status != 0) {
            throw new IllegalStateException("fork " + (fork + 1) + " exited with " + status);
        }
    }

    static String loadAverage() {
        try {
            String[] f = Files.readString(Path.of("/proc/loadavg")).trim().split("\\s+");
            return f[0] + " " + f[1] + " " + f[2];
        } catch (IOException e) {
            return "unknown";
        }
    }
}
