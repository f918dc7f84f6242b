#!/bin/sh
# SPDX-License-Identifier: MIT
# Draws the farm check's soak with gnuplot: hogspin-plot.sh [--png] LOG SVG
# LOG holds the check's "hogspin-trace," lines: its own output, or a LAVA job's log, where
# they stand quoted. The last soak in it is drawn: each zone's temperature and CPU's clock
# against time, each zone's fitted model (one pole or two) dashed over it, the baseline before the
# load shaded, the throttle onset marked, each power meter's power in a panel below where
# there was one, and the limits that were set as lines. --png also writes the picture as a
# PNG beside the SVG.
set -eu
png=''
[ "${1-}" != --png ] || { png=1; shift; }
[ $# -eq 2 ] || { echo "usage: hogspin-plot.sh [--png] LOG SVG" >&2; exit 2; }
log=$1 svg=$2
command -v gnuplot >/dev/null 2>&1 || { echo "hogspin-plot: gnuplot not found (apt-get install gnuplot-nox)" >&2; exit 1; }
[ -r "$log" ] || { echo "hogspin-plot: cannot read $log" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The samples as CSV, and a gnuplot program that draws only the series that hold a value:
# gnuplot refuses a plot with nothing in it. A log is anyone's text: a name keeps only what a
# case name may hold, and a value or a limit counts only as a plain number, so that nothing
# from it reaches gnuplot but data.
# The throttle onset is the check's data line for it: a log of an older check, which had none,
# is drawn without the mark rather than read from the case line's words.
grep -o -e 'hogspin-\(trace\|limits\|fit\),[^"]*' -e 'hogspin-case,throttle-onset-cpu[0-9]*,[^"]*' "$log" |
    awk -F, -v data="$work/data.csv" -v program="$work/plot.gp" '
    function number(v) { return v ~ /^-?[0-9]+(\.[0-9]+)?$/ }
    function series(column, title, axes, style) { return sprintf("ARG1 using 1:%d %s with lines lw 2 %s title \"%s\"", column, axes, style, title) }
    function add(list, item) { return list == "" ? item : list ", " item }
    function level(value, axes, colour, title) { return value " " axes " with lines dt 3 lw 2 lc rgb \"" colour "\" title \"" title "\"" }
    { sub(/\r$/, "") }
    $1 == "hogspin-trace" && $2 == "t_s" {
        n = 0; lo = hi = ""; width = NF; onset = ""; first = ""; split("", has); split("", limit); split("", fit)
        for (i = 1; i <= NF; i++) { head[i] = $i; gsub(/[^A-Za-z0-9._-]/, "_", head[i]) }
        next }
    $1 == "hogspin-limits" { for (i = 2; i <= NF; i++) if (split($i, kv, "=") == 2 && number(kv[2])) limit[kv[1]] = kv[2] + 0; next }
    # A zone'"'"'s fit: its start, where it settles and its slow time constant, and with two poles
    # the fast one and its share of the rise; numbers all or nothing.
    $1 == "hogspin-fit" && (NF == 5 || NF == 7) {
        name = $2; gsub(/[^A-Za-z0-9._-]/, "_", name)
        fv[6] = fv[7] = 0
        for (i = 3; i <= NF; i++) { split($i, kv, "="); fv[i] = kv[2] }
        if (NF == 5) fv[6] = fv[5]
        ok = fv[5] > 0 && fv[6] > 0 && fv[7] >= 0 && fv[7] <= 1
        for (i = 3; i <= 7; i++) ok = ok && number(fv[i])
        if (ok) fit[name] = fv[3] + 0 "," fv[4] + 0 "," fv[5] + 0 "," fv[6] + 0 "," fv[7] + 0
        next }
    $1 == "hogspin-case" && $2 ~ /^throttle-onset-cpu[0-9]+$/ && NF == 5 && $3 == "pass" && $5 == "s" && number($4) { onset = $4 + 0; next }
    $1 == "hogspin-trace" && width && number($2) {
        row = $2
        for (i = 3; i <= width; i++) { v = number($i) ? $i : ""; row = row "," v; if (v != "") has[i - 1] = 1 }
        rows[++n] = row
        if (first == "") first = $2 + 0
        if (number($4)) { if (lo == "" || $4 + 0 < lo) lo = $4 + 0; if (hi == "" || $4 + 0 > hi) hi = $4 + 0 } }
    END {
        if (!n) { print "hogspin-plot: no soak (hogspin-trace lines after their header) in the log" >"/dev/stderr"; exit 1 }
        for (r = 1; r <= n; r++) print rows[r] >data
        cpu = head[3]; sub(/_busy_pct$/, "", cpu)
        for (i = 5; i <= width; i++) {
            name = head[i]; unit = name; sub(/_[cw]$/, "", name); sub(/.*_/, "", unit)
            if (!has[i - 1]) continue
            colour = "lc " (++colours)
            if (unit == "c") {
                top = add(top, series(i - 1, name " (°C)", "", colour))
                # The fitted curve from the load'"'"'s start, dashed in the zone'"'"'s colour.
                if (name in fit) {
                    split(fit[name], f, ",")
                    taus = f[5] > 0 ? sprintf("%.2g and %.2g s", f[3], f[4]) : sprintf("%.2g s", f[3])
                    top = add(top, sprintf("(x < 0 ? NaN : %.6g - (%.6g - %.6g) * (%.6g * exp(-x / %.6g) + (1 - %.6g) * exp(-x / %.6g))) with lines dt 2 lw 2 %s title \"%s fit, τ %s\"", f[2], f[2], f[1], f[5], f[4], f[5], f[3], colour, name, taus))
                }
            }
            else if (unit == "w") bottom = add(bottom, series(i - 1, name " (W)", "", colour))
        }
        # The clock goes on the right-hand axis beside temperatures, on the left one alone.
        temps = top != ""; axis = temps ? "axes x1y2" : ""
        if (has[3]) { top = add(top, series(3, cpu " clock (MHz)", axis, "dt 4 lc rgb \"black\"")); right = temps }
        if (top == "" && bottom == "") {
            if (!has[2]) { print "hogspin-plot: nothing was read in the last soak but the time" >"/dev/stderr"; exit 1 }
            top = series(2, cpu " busy (%)")
        }
        if (("max_temp_c" in limit) && temps) top = add(top, level(limit["max_temp_c"], "", "red", "MAX_TEMP " limit["max_temp_c"] " °C"))
        if (("min_freq_mhz" in limit) && has[3]) {
            top = add(top, level(limit["min_freq_mhz"], axis, "blue", "MIN_FREQ " limit["min_freq_mhz"] " MHz"))
            if (limit["min_freq_mhz"] < lo) lo = limit["min_freq_mhz"]
            if (limit["min_freq_mhz"] > hi) hi = limit["min_freq_mhz"]
        }
        if (("max_power_w" in limit) && bottom != "") bottom = add(bottom, level(limit["max_power_w"], "", "dark-red", "MAX_POWER " limit["max_power_w"] " W"))
        # Power alone: its panel is the only one.
        if (top == "") { top = bottom; bottom = "" }
        print "set terminal @ARG3 size 960," (bottom == "" ? 480 : 720) "; set output ARG2" >program
        # Fixed margins line the panels up whatever their keys hold.
        print "set datafile separator \",\"; set termoption noenhanced; set key outside right top; set grid" >program
        print "set lmargin at screen 0.08; set rmargin at screen 0.70; set autoscale xfix; set samples 400" >program
        # The baseline, before the load started at 0, shaded; the throttle onset as a line.
        if (first < 0) printf "set object 1 rect from %g, graph 0 to 0, graph 1 behind fc rgb \"#e8e8e8\" fs solid noborder\nset label 1 \"baseline\" at %g, graph 0.96\n", first, first >program
        if (onset != "") printf "set arrow 1 from %g, graph 0 to %g, graph 1 nohead dt 3 lw 2 lc rgb \"dark-orange\"\nset label 2 \"throttle onset %g s\" at %g, graph 0.04 offset 0.5, 0 tc rgb \"dark-orange\"\n", onset, onset, onset, onset >program
        print "set xlabel \"seconds since the load started\"" >program
        if (bottom != "") print "set multiplot layout 2,1" >program
        print "set ylabel \"" (temps ? "°C" : has[3] ? "MHz" : top ~ /\(W\)/ ? "W" : "%") "\"; set ytics nomirror" >program
        # Room above and below the curves, so that a limit never lies on the frame; the
        # clock axis spans the clock and its limit by hand, since offsets miss that axis.
        print "set offsets graph 0, graph 0, graph 0.08, graph 0.08" >program
        pad = hi > lo ? (hi - lo) * 0.08 : hi * 0.05 + 1
        if (right) printf "set y2label \"MHz\"; set y2tics; set y2range [%g:%g]\n", lo - pad, hi + pad >program
        print "plot " top >program
        if (bottom != "") print "unset y2label; unset y2tics; set ylabel \"W\"; plot " bottom "; unset multiplot" >program
    }'

gnuplot -c "$work/plot.gp" "$work/data.csv" "$svg" "svg dynamic font 'sans,12' background rgb 'white'"
[ -z "$png" ] || gnuplot -c "$work/plot.gp" "$work/data.csv" "${svg%.svg}.png" "pngcairo font 'sans,10'"
