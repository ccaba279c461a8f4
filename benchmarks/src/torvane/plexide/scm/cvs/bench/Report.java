package torvane.plexide.scm.cvs.bench;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Pools the forks' samples per row (median, quartiles, extremes), works out the ratios and the
 * targets, and writes results.tsv, results.md and the data files the plot reads.
 */
final class Report {
    /** Order statistics of the pooled samples of one row, in the row's unit. */
    static final class Stats {
        final double median;
        final double p25;
        final double p75;
        final double min;
        final double max;
        final int count;

        Stats(double[] values) {
            double[] v = values.clone();
            Arrays.sort(v);
            count = v.length;
            median = quantile(v, 0.5);
            p25 = quantile(v, 0.25);
            p75 = quantile(v, 0.75);
            min = v[0];
            max = v[v.length - 1];
        }

        private static double quantile(double[] sorted, double q) {
            double position = q * (sorted.length - 1);
            int low = (int) Math.floor(position);
            int high = Math.min(low + 1, sorted.length - 1);
            return sorted[low] + (position - low) * (sorted[high] - sorted[low]);
        }
    }

    /** One line of the results: a measured row, or one worked out from others. */
    static final class Line {
        final String id;
        final String group;
        final String label;
        final String unit;
        final Stats stats;        // null for a derived line
        final double median;
        final double nsPerOp;
        final double mbPerSecond; // 0 unless the row moves bytes
        /** Other processes' CPU while the row ran, in cores: the largest of its forks. */
        double othersMax = Double.NaN;

        Line(String id, String group, String label, String unit, Stats stats, double median,
                double nsPerOp, double mbPerSecond) {
            this.id = id;
            this.group = group;
            this.label = label;
            this.unit = unit;
            this.stats = stats;
            this.median = median;
            this.nsPerOp = nsPerOp;
            this.mbPerSecond = mbPerSecond;
        }
    }

    static final class Target {
        final String what;
        final String measured;
        final String goal;
        final Boolean pass;  // null when a row it needs was not run

        Target(String what, String measured, String goal, Boolean pass) {
            this.what = what;
            this.measured = measured;
            this.goal = goal;
            this.pass = pass;
        }
    }

    private final BenchMain.Config config;
    private final Map<String, BenchMain.Row> rows;
    private final String loadBefore;
    private final String loadAfter;
    private final double minutes;
    private final Map<String, Line> lines = new LinkedHashMap<>();
    private final List<Target> targets = new ArrayList<>();

    Report(BenchMain.Config config, Map<String, BenchMain.Row> rows, String loadBefore,
            String loadAfter, double minutes) {
        this.config = config;
        this.rows = rows;
        this.loadBefore = loadBefore;
        this.loadAfter = loadAfter;
        this.minutes = minutes;
    }

    static double[] pooled(BenchMain.Row row) {
        int size = 0;
        for (double[] s : row.forkSamples) {
            size += s.length;
        }
        double[] all = new double[size];
        int at = 0;
        for (double[] s : row.forkSamples) {
            System.arraycopy(s, 0, all, at, s.length);
            at += s.length;
        }
        return all;
    }

    /** MB/s (10^6 bytes per second) of each sample of nanoseconds per operation. */
    static double[] megabytesPerSecond(double[] nsPerOp, long bytes) {
        double[] rates = new double[nsPerOp.length];
        for (int i = 0; i < rates.length; i++) {
            rates[i] = bytes * 1e3 / nsPerOp[i];
        }
        return rates;
    }

    /** One fork's samples in a few words, for the progress output. */
    static String describe(BenchMain.Row row, double[] values) {
        Stats s = new Stats(values);
        if (row.kind.equals("ops")) {
            return String.format(Locale.ROOT, "%.3f M ops/s (%.3f-%.3f)", s.median / 1e6,
                    s.min / 1e6, s.max / 1e6);
        }
        return String.format(Locale.ROOT, "%s ns (%s-%s)", ns(s.median), ns(s.min), ns(s.max));
    }

    static String ns(double value) {
        return value < 100 ? String.format(Locale.ROOT, "%.1f", value)
                : String.format(Locale.ROOT, "%.0f", value);
    }

    static String ratio(double value) {
        return String.format(Locale.ROOT, "%.2f", value);
    }

    private void collect() {
        for (BenchMain.Row row : rows.values()) {
            if (row.forkSamples.isEmpty()) {
                continue;
            }
            double[] all = pooled(row);
            Line line;
            if (row.kind.equals("ops")) {
                Stats s = new Stats(all);
                line = new Line(row.id, row.group, row.label, "ops/s", s, s.median, 1e9 / s.median,
                        0);
            } else if (row.bytes > 0) {
                Stats time = new Stats(all);
                Stats rate = new Stats(megabytesPerSecond(all, row.bytes));
                line = new Line(row.id, row.group, row.label, "MB/s", rate, rate.median,
                        time.median, rate.median);
            } else {
                Stats s = new Stats(all);
                String unit = row.id.startsWith("walk_") ? "ns/name" : "ns/op";
                line = new Line(row.id, row.group, row.label, unit, s, s.median, s.median, 0);
            }
            for (double cores : row.others) {
                line.othersMax = Double.isNaN(line.othersMax) ? cores
                        : Math.max(line.othersMax, cores);
            }
            lines.put(row.id, line);
        }
        Line pair = lines.get("set_delete_pair");
        Line set = lines.get("set_dword");
        if (pair != null && set != null) {
            double delete = pair.median - set.median;
            insertAfter("set_delete_pair", new Line("delete", "call",
                    "setValue null of an existing value (pair - setValue Integer)", "ns/op", null,
                    delete, delete, 0));
        }
        Line jni = lines.get("jni_work");
        Line registry = lines.get("registry_work");
        if (jni != null && registry != null) {
            double sum = jni.median + registry.median;
            insertAfter("registry_work", new Line("jni_plus_registry", "call",
                    "JNI work alone + registry work alone", "ns/op", null, sum, sum, 0));
        }
    }

    /** Puts a derived line right after the line it is worked out from, for the tables. */
    private void insertAfter(String id, Line line) {
        Map<String, Line> copy = new LinkedHashMap<>(lines);
        lines.clear();
        for (Map.Entry<String, Line> entry : copy.entrySet()) {
            lines.put(entry.getKey(), entry.getValue());
            if (entry.getKey().equals(id)) {
                lines.put(line.id, line);
            }
        }
    }

    private double median(String id) {
        Line line = lines.get(id);
        return line == null ? Double.NaN : line.median;
    }

    private void target(String what, double value, String goal, boolean pass, String measured) {
        targets.add(new Target(what, Double.isNaN(value) ? "not run" : measured, goal,
                Double.isNaN(value) ? null : pass));
    }

    private void judge() {
        double get = median("get_sz");
        double parts = median("jni_plus_registry");
        double r1 = get / parts;
        target("getValue REG_SZ <= 1.15 x (JNI work alone + registry work alone)", r1, "<= 1.15",
                r1 <= 1.15, String.format(Locale.ROOT, "%s / %s ns = %s", ns(get), ns(parts),
                        ratio(r1)));

        double jna = median("jna_interface");
        double r2 = jna / get;
        target("getValue REG_SZ >= 10 x faster than JNA (interface mapping)", r2, ">= 10",
                r2 >= 10, String.format(Locale.ROOT, "%s / %s ns = %s", ns(jna), ns(get),
                        ratio(r2)));

        for (String kind : new String[] {"get", "walk"}) {
            double small = median(kind + "_keys_10");
            double large = median(kind + "_keys_100000");
            double r = large / small;
            String what = kind.equals("get") ? "getValue" : "walk per name";
            target(what + ": key of 100,000 values vs 10, within 1.5 x", r, "1/1.5 .. 1.5",
                    r <= 1.5 && r >= 1 / 1.5, String.format(Locale.ROOT, "%s / %s ns = %s",
                            ns(large), ns(small), ratio(r)));
        }

        double big = median("get_size_1048576");
        double copy = median("memcpy_size_1048576");
        double r4 = big / copy;
        target("getValue of 1 MiB >= 1/3 of native memcpy's throughput", r4, ">= 0.33",
                r4 >= 1.0 / 3, String.format(Locale.ROOT, "%.0f / %.0f MB/s = %s", big, copy,
                        ratio(r4)));

        double one = median("threads_1");
        double two = median("threads_2");
        double r5 = two / one;
        target("2 threads >= 1.7 x the throughput of 1", r5, ">= 1.7", r5 >= 1.7,
                String.format(Locale.ROOT, "%.3f / %.3f M ops/s = %s", two / 1e6, one / 1e6,
                        ratio(r5)));

        // Not targets: what the parts do, to tell where a miss comes from.
        double floor = median("floor");
        info("getValue REG_SZ / (JNI work alone + registry work alone - one floor)",
                get / (parts - floor), String.format(Locale.ROOT, "%s / %s ns", ns(get),
                        ns(parts - floor)));
        info("JNA direct mapping / getValue REG_SZ", median("jna_direct") / get,
                String.format(Locale.ROOT, "%s / %s ns", ns(median("jna_direct")), ns(get)));
        info("getValue of 1 MiB / System.arraycopy of 1 MiB",
                big / median("arraycopy_size_1048576"), String.format(Locale.ROOT,
                        "%.0f / %.0f MB/s", big, median("arraycopy_size_1048576")));
        info("getValue of 1 MiB / Arrays.copyOf of 1 MiB (a fresh array)",
                big / median("copyof_size_1048576"), String.format(Locale.ROOT,
                        "%.0f / %.0f MB/s", big, median("copyof_size_1048576")));
        String[][] pieces = {{"jni", "JNI work alone"}, {"fieldids", "the 2 GetFieldID alone"},
            {"registry", "registry work alone"}};
        for (String[] part : pieces) {
            double partOne = median("threads_" + part[0] + "_1");
            double partTwo = median("threads_" + part[0] + "_2");
            info("2 threads / 1, " + part[1], partTwo / partOne, String.format(Locale.ROOT,
                    "%.3f / %.3f M ops/s", partTwo / 1e6, partOne / 1e6));
        }
    }

    private void info(String what, double value, String detail) {
        if (!Double.isNaN(value)) {
            targets.add(new Target(what, detail + " = " + ratio(value), "(information)", null));
        }
    }

    /** The line each row is compared with in the tables, and how the ratio reads. */
    private String[] reference(Line line) {
        String id = line.id;
        if (line.group.equals("call")) {
            return new String[] {"get_sz", "x getValue REG_SZ"};
        }
        if (id.startsWith("get_keys_")) {
            return new String[] {"get_keys_10", "x key of 10"};
        }
        if (id.startsWith("walk_keys_")) {
            return new String[] {"walk_keys_10", "x key of 10"};
        }
        if (line.group.equals("sizes")) {
            return new String[] {"memcpy_size_" + id.substring(id.lastIndexOf('_') + 1),
                "x memcpy MB/s"};
        }
        if (line.group.equals("threads")) {
            return new String[] {id.substring(0, id.lastIndexOf('_') + 1) + "1", "x 1 thread"};
        }
        return null;
    }

    private String ratioCell(Line line) {
        String[] ref = reference(line);
        if (ref == null || !lines.containsKey(ref[0])) {
            return "";
        }
        return ratio(line.median / lines.get(ref[0]).median) + " " + ref[1];
    }

    private static String value(Line line, double v) {
        if (line.unit.equals("ops/s")) {
            return String.format(Locale.ROOT, "%.3f M", v / 1e6);
        }
        if (line.unit.equals("MB/s")) {
            return String.format(Locale.ROOT, "%.0f", v);
        }
        return ns(v);
    }

    private static String tsv(double v) {
        return String.format(Locale.ROOT, "%.3f", v);
    }

    boolean write(Path resultsDir, Path plotDir) throws IOException {
        collect();
        judge();
        Files.createDirectories(resultsDir);
        Files.createDirectories(plotDir);

        StringBuilder tsv = new StringBuilder(
                "id\tgroup\tlabel\tunit\tmedian\tp25\tp75\tmin\tmax\tsamples\tns_per_op"
                        + "\tothers_cpu_max\n");
        for (Line l : lines.values()) {
            tsv.append(l.id).append('\t').append(l.group).append('\t').append(l.label)
                    .append('\t').append(l.unit).append('\t').append(tsv(l.median));
            if (l.stats != null) {
                tsv.append('\t').append(tsv(l.stats.p25)).append('\t').append(tsv(l.stats.p75))
                        .append('\t').append(tsv(l.stats.min)).append('\t')
                        .append(tsv(l.stats.max)).append('\t').append(l.stats.count);
            } else {
                tsv.append("\t-\t-\t-\t-\tderived");
            }
            tsv.append('\t').append(tsv(l.nsPerOp)).append('\t')
                    .append(Double.isNaN(l.othersMax) ? "-" : tsv(l.othersMax)).append('\n');
        }
        Files.writeString(resultsDir.resolve("results.tsv"), tsv);

        StringBuilder md = new StringBuilder();
        md.append("Run ").append(ZonedDateTime.now().format(DateTimeFormatter.ofPattern(
                "yyyy-MM-dd HH:mm z"))).append(" by `bash benchmarks/run.sh`: ")
                .append(config.forks).append(" forked JVM(s) x ").append(config.batches)
                .append(" measured batches of ~").append(config.batchMs).append(" ms after ")
                .append(config.warmupMs).append(" ms of warm-up each; JVM ")
                .append(System.getProperty("java.vm.name")).append(' ')
                .append(System.getProperty("java.vm.version")).append(", options `")
                .append(String.join(" ", config.jvmOptions)).append("`; load average ")
                .append(loadBefore).append(" before, ").append(loadAfter).append(" after; ")
                .append(String.format(Locale.ROOT, "%.1f", minutes)).append(" min.")
                .append(config.filter == null ? "" : " Rows limited to /" + config.filter + "/.")
                .append("\n\nMedian over all batches of all forks; IQR = 25th-75th percentile, ")
                .append("min-max over all batches. MB = 10^6 bytes. Other CPU: the CPU other ")
                .append("processes took while the row ran (cores of ")
                .append(Runtime.getRuntime().availableProcessors())
                .append(", the largest over the forks); near 0 means the row had the machine ")
                .append("to itself. A row measured while other processes took more than ")
                .append(Math.round(config.maxOthersCores * 100)).append("% of a core was ")
                .append("measured again after a quiet second, up to ").append(config.retries)
                .append(" times within ").append(config.retryBudgetS)
                .append(" s per fork, keeping the last attempt; ").append(remeasured())
                .append(" of the forks' rows were measured again.\n\n");
        md.append("| row | unit | median | IQR | min-max | ratio | other CPU |\n");
        md.append("|---|---|---:|---:|---:|---|---:|\n");
        String group = null;
        for (Line l : lines.values()) {
            if (!l.group.equals(group)) {
                group = l.group;
                md.append("| **").append(groupTitle(group)).append("** | | | | | | |\n");
            }
            md.append("| ").append(l.label).append(" | ").append(l.unit).append(" | ")
                    .append(value(l, l.median));
            if (l.unit.equals("MB/s")) {
                md.append(" (").append(ns(l.nsPerOp)).append(" ns/op)");
            }
            md.append(" | ");
            if (l.stats != null) {
                md.append(value(l, l.stats.p25)).append(" - ").append(value(l, l.stats.p75))
                        .append(" | ").append(value(l, l.stats.min)).append(" - ")
                        .append(value(l, l.stats.max));
            } else {
                md.append("derived | derived");
            }
            md.append(" | ").append(ratioCell(l)).append(" | ")
                    .append(Double.isNaN(l.othersMax) ? "" : ratio(l.othersMax)).append(" |\n");
        }
        md.append("\n| target | measured | goal | result |\n|---|---|---|---|\n");
        boolean allPass = true;
        System.out.println();
        System.out.println("Targets:");
        for (Target t : targets) {
            String result = t.pass == null
                    ? (t.goal.equals("(information)") ? "info" : "NOT RUN")
                    : t.pass ? "PASS" : "MISS";
            if (!result.equals("info")) {
                allPass &= Boolean.TRUE.equals(t.pass);
            }
            md.append("| ").append(t.what).append(" | ").append(t.measured).append(" | ")
                    .append(t.goal).append(" | ").append(result).append(" |\n");
            System.out.printf("  %-4s  %-66s %s%n", result.equals("NOT RUN") ? "----" : result,
                    t.what, t.measured);
        }
        Files.writeString(resultsDir.resolve("results.md"), md);
        System.out.println();
        System.out.print(md);
        writePlotData(plotDir);
        return allPass;
    }

    private int remeasured() {
        int count = 0;
        for (BenchMain.Row row : rows.values()) {
            for (int attempts : row.attempts) {
                count += attempts > 1 ? 1 : 0;
            }
        }
        return count;
    }

    private static String groupTitle(String group) {
        switch (group) {
            case "call":
                return "one call";
            case "keys":
                return "key size";
            case "sizes":
                return "value size";
            case "threads":
                return "threads";
            default:
                return group;
        }
    }

    private static final String[][] CALL_PLOT = {
        {"floor", "empty native call"},
        {"jni_work", "JNI work alone"},
        {"registry_work", "registry work alone"},
        {"get_sz", "getValue String"},
        {"get_dword", "getValue Integer"},
        {"get_bin1k", "getValue 1 KiB"},
        {"set_sz", "setValue String"},
        {"set_dword", "setValue Integer"},
        {"set_bin1k", "setValue 1 KiB"},
        {"delete", "delete (derived)"},
        {"jna_direct", "JNA direct"},
        {"jna_interface", "JNA interface"},
    };

    private void writePlotData(Path dir) throws IOException {
        StringBuilder calls = new StringBuilder("# index label median p25 p75\n");
        int index = 0;
        for (String[] entry : CALL_PLOT) {
            Line l = lines.get(entry[0]);
            if (l == null) {
                continue;
            }
            double p25 = l.stats == null ? l.median : l.stats.p25;
            double p75 = l.stats == null ? l.median : l.stats.p75;
            calls.append(index++).append(" \"").append(entry[1]).append("\" ")
                    .append(tsv(l.median)).append(' ').append(tsv(p25)).append(' ')
                    .append(tsv(p75)).append('\n');
        }
        Files.writeString(dir.resolve("calls.dat"), calls);

        StringBuilder keys = new StringBuilder("# values get_median p25 p75 walk_median p25 p75\n");
        for (int count : BenchFork.KEY_SIZES) {
            keys.append(count).append(' ').append(triple("get_keys_" + count)).append(' ')
                    .append(triple("walk_keys_" + count)).append('\n');
        }
        Files.writeString(dir.resolve("keys.dat"), keys);

        StringBuilder sizes = new StringBuilder(
                "# bytes getValue(median p25 p75) memcpy(...) arraycopy(...) copyOf(...), MB/s\n");
        for (int size : BenchFork.VALUE_SIZES) {
            sizes.append(size).append(' ').append(triple("get_size_" + size)).append(' ')
                    .append(triple("memcpy_size_" + size)).append(' ')
                    .append(triple("arraycopy_size_" + size)).append(' ')
                    .append(triple("copyof_size_" + size)).append('\n');
        }
        Files.writeString(dir.resolve("sizes.dat"), sizes);

        StringBuilder threads = new StringBuilder("# threads median p25 p75 (M ops/s)\n");
        for (int count : BenchFork.THREADS) {
            Line l = lines.get("threads_" + count);
            if (l != null) {
                threads.append(count).append(' ').append(tsv(l.median / 1e6)).append(' ')
                        .append(tsv(l.stats.p25 / 1e6)).append(' ')
                        .append(tsv(l.stats.p75 / 1e6)).append('\n');
            }
        }
        Files.writeString(dir.resolve("threads.dat"), threads);
    }

    /** "median p25 p75" of a row, or "NaN NaN NaN" (gnuplot skips it) when it was not run. */
    private String triple(String id) {
        Line l = lines.get(id);
        if (l == null || l.stats == null) {
            return "NaN NaN NaN";
        }
        return tsv(l.median) + " " + tsv(l.stats.p25) + " " + tsv(l.stats.p75);
    }
}
