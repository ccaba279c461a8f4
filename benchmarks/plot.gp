# The benchmark's plot, from the data files BenchMain writes.
#   gnuplot -e "datadir='DIR'; output='FILE.png'" benchmarks/plot.gp
set terminal pngcairo size 1500,1050 font "DejaVu Sans,10"
set output output
# Labels hold underscores (REG_SZ): print them as they are.
set termoption noenhanced
set multiplot layout 2,2 title "CVSWin32RegKey on the emulated registry: medians, bars = interquartile range"

set title "One call (ns per call, log scale)"
set logscale y
set yrange [1:*]
set ylabel "ns/op"
set xtics rotate by -35 left nomirror
set style fill solid 0.5
set boxwidth 0.7
set grid ytics
set key off
plot datadir.'/calls.dat' using 1:3:xtic(2) with boxes lc rgb "#4477aa", \
     '' using 1:3:4:5 with yerrorbars lc rgb "black" pt 0, \
     '' using 1:3:(sprintf("%.0f", $3)) with labels offset 0,0.8
unset xtics
set xtics nomirror
unset logscale y
set yrange [*:*]

set title "Key size: cost per getValue and per walked name"
set logscale x
set xrange [5:200000]
set yrange [0:*]
set xlabel "values in the key"
set ylabel "ns"
set key top center
plot datadir.'/keys.dat' using 1:2:3:4 with yerrorlines lw 2 pt 7 title "getValue REG_DWORD (ns/op)", \
     '' using 1:5:6:7 with yerrorlines lw 2 pt 5 title "walk, hasNext+next (ns/name)"
set xrange [*:*]

set title "Value size: read throughput (MB/s, log-log)"
set logscale xy
set xlabel "bytes"
set ylabel "MB/s"
set yrange [*:*]
set xrange [0.5:2000000]
set xtics ("1 B" 1, "1 KiB" 1024, "64 KiB" 65536, "1 MiB" 1048576)
set key bottom right
plot datadir.'/sizes.dat' using 1:2:3:4 with yerrorlines lw 2 pt 7 title "getValue REG_BINARY", \
     '' using 1:5:6:7 with yerrorlines lw 2 pt 5 title "native memcpy (one JNI call each)", \
     '' using 1:8:9:10 with yerrorlines lw 2 pt 9 title "System.arraycopy", \
     '' using 1:11:12:13 with yerrorlines lw 2 pt 11 title "Arrays.copyOf (new array)"
unset logscale

set title "Threads, each reading its own key (2 cores)"
set xlabel "threads"
set ylabel "M getValue/s, all threads"
set xrange [0.5:4.5]
set xtics auto
set yrange [0:*]
set xtics 1
set key top left
stats datadir.'/threads.dat' every ::0::0 using 2 nooutput
one = STATS_max
plot datadir.'/threads.dat' using 1:2:3:4 with yerrorlines lw 2 pt 7 title "measured", \
     (x <= 2 ? one * x : 2 * one) with lines dt 2 lc rgb "gray" title "linear up to 2 cores"
unset multiplot
