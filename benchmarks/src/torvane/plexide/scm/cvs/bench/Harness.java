package torvane.plexide.scm.cvs.bench;

import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;

/**
 * Times operations in batches: a batch size found so that one batch takes about batchMs, a
 * warm-up of warmupMs (so the JIT has compiled the loop before anything counts), then a fixed
 * number of measured batches, each giving one sample.
 */
final class Harness {
    /** Runs {@code n} operations; returns something derived from their results, so none is dropped. */
    interface Op {
        long run(int n) throws Exception;
    }

    final long batchNs;
    final long warmupNs;
    final int batches;
    /** Folded from every result, printed at the end so the JIT cannot discard the work. */
    private long sink;

    Harness(long batchMs, long warmupMs, int batches) {
        this.batchNs = batchMs * 1_000_000L;
        this.warmupNs = warmupMs * 1_000_000L;
        this.batches = batches;
    }

    long sink() {
        return sink;
    }

    /** The batch size: doubled until a batch takes a tenth of batchNs, then scaled to batchNs. */
    private int calibrate(Op op) throws Exception {
        int n = 1;
        while (true) {
            long start = System.nanoTime();
            sink += op.run(n);
            long elapsed = System.nanoTime() - start;
            if (elapsed >= batchNs / 10 || n >= (1 << 28)) {
                double scaled = (double) n * batchNs / Math.max(elapsed, 1);
                return (int) Math.max(1, Math.min(scaled, Integer.MAX_VALUE / 2));
            }
            n *= 2;
        }
    }

    /**
     * Times several operations whose results are compared: each is warmed up and sized on its
     * own, then their batches are taken in turn (first of each, second of each...), so that a
     * slow spell of the machine falls on all of them alike.
     *
     * @param unitsPerOp how many reported units one operation of each is (the names of a walk)
     * @return for each operation, one sample of nanoseconds per unit for each measured batch
     */
    double[][] time(Op[] ops, int[] unitsPerOp) throws Exception {
        int[] n = new int[ops.length];
        for (int i = 0; i < ops.length; i++) {
            n[i] = calibrate(ops[i]);
            long warmupEnd = System.nanoTime() + warmupNs;
            while (System.nanoTime() < warmupEnd) {
                sink += ops[i].run(n[i]);
            }
            // Sized again after the JIT has done its work: the first size was for slow code.
            n[i] = calibrate(ops[i]);
        }
        double[][] samples = new double[ops.length][batches];
        for (int b = 0; b < batches; b++) {
            for (int i = 0; i < ops.length; i++) {
                long start = System.nanoTime();
                sink += ops[i].run(n[i]);
                long elapsed = System.nanoTime() - start;
                samples[i][b] = (double) elapsed / ((double) n[i] * unitsPerOp[i]);
            }
        }
        return samples;
    }

    /**
     * Measures the throughput of several groups of threads, group g running {@code ops[g][t]}
     * on its thread t, all of a group at once, for batchMs per batch. The groups take their
     * batches in turn, as in {@link #time}.
     *
     * @return for each group, one sample of total operations per second for each measured batch
     */
    double[][] throughput(Op[][] ops) throws Exception {
        Pool[] pools = new Pool[ops.length];
        try {
            for (int g = 0; g < ops.length; g++) {
                pools[g] = new Pool(ops[g]);
            }
            long warmupBatches = Math.max(1, warmupNs / batchNs);
            for (long b = 0; b < warmupBatches; b++) {
                for (Pool pool : pools) {
                    pool.batch();
                }
            }
            double[][] samples = new double[ops.length][batches];
            for (int b = 0; b < batches; b++) {
                for (int g = 0; g < pools.length; g++) {
                    samples[g][b] = pools[g].batch();
                }
            }
            return samples;
        } finally {
            for (Pool pool : pools) {
                if (pool != null) {
                    pool.close();
                }
            }
        }
    }

    /** Threads that run their operations together, one batch at a time. */
    private final class Pool {
        private final Thread[] workers;
        private final CyclicBarrier start;
        private final CyclicBarrier end;
        private final long[] counts;
        private final long[] sinks;
        private volatile boolean stop;
        private volatile boolean finished;
        private volatile Throwable failure;

        Pool(Op[] ops) {
            int threads = ops.length;
            start = new CyclicBarrier(threads + 1);
            end = new CyclicBarrier(threads + 1);
            counts = new long[threads];
            sinks = new long[threads];
            workers = new Thread[threads];
            for (int t = 0; t < threads; t++) {
                final int index = t;
                workers[t] = new Thread(() -> {
                    try {
                        while (true) {
                            start.await();
                            if (finished) {
                                return;
                            }
                            long done = 0;
                            long local = 0;
                            // Checked every few operations: a volatile read per call would be noise.
                            while (!stop) {
                                local += ops[index].run(16);
                                done += 16;
                            }
                            counts[index] = done;
                            sinks[index] += local;
                            end.await();
                        }
                    } catch (Throwable e) {
                        failure = e;
                        start.reset();
                        end.reset();
                    }
                }, "bench-" + t);
                workers[t].setDaemon(true);
                workers[t].start();
            }
        }

        /** One batch: total operations per second of all the pool's threads. */
        double batch() throws Exception {
            try {
                stop = false;
                start.await();
                long t0 = System.nanoTime();
                Thread.sleep(batchNs / 1_000_000L, (int) (batchNs % 1_000_000L));
                stop = true;
                long t1 = System.nanoTime();
                end.await();
                long total = 0;
                for (long c : counts) {
                    total += c;
                }
                return total * 1e9 / (t1 - t0);
            } catch (BrokenBarrierException e) {
                throw new IllegalStateException("a benchmark thread failed", failure);
            }
        }

        void close() throws InterruptedException {
            finished = true;
            stop = true;
            if (failure == null) {
                try {
                    start.await();
                } catch (BrokenBarrierException e) {
                    // a worker failed; it has ended
                }
            }
            for (Thread worker : workers) {
                worker.join();
            }
            for (long s : sinks) {
                sink += s;
            }
        }
    }
}
