#!/bin/sh
# Makes examples/reports/, a season of AAVSO reports of KV Exm for the light curve window
# and korvane-measure --light-curve: 44 frames made by the star-field generator as
# examples/field.fit is (same field, sky, camera and comparison star), each measured by
# korvane-measure, which writes its report. The frames themselves are not kept.
# Run from the top of the source tree after building the generator and the command:
#   cmake --build build --target make_star_field korvane-measure && examples/make-light-curve.sh
#
# KV Exm sits at V = 14.3 in quiescence and rises on JD 2460212.8 by 2.1 magnitudes in a
# day, then fades by 0.22 magnitudes a day. Every fourth night is unfiltered ("L"), which
# the report writes as CV against the V comparison star. Three nights at V = 16.9 are too
# faint for the largest error of the example settings (0.1) and become limits ("<"). On the
# night of examples/field.fit (JD 2460218.31) the curve passes 13.2, the magnitude of that field.
set -e
generator=${1:-build/tests/make_star_field}
measure=${2:-build/korvane-measure}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf examples/reports
mkdir -p examples/reports

night=0
while [ $night -lt 44 ]; do
  # JD of the frame's start: one frame a night, at 19:30 UT give or take an hour.
  set -- $(awk -v n=$night 'BEGIN {
    jd = 2460190.3125 + n + ((n * 37) % 9 - 4) / 96.0
    t = jd - 2460212.8                     # days since the outburst began
    mag = 14.3
    if (t >= 0 && t < 1) mag = 14.3 - 2.1 * t
    else if (t >= 1) mag = 12.2 + 0.22 * (t - 1)
    if (mag > 14.3) mag = 14.3
    if (n == 5 || n == 31 || n == 40) mag = 16.9   # a deep fade: a limit
    flux = 160000 * 10 ^ (-(mag - 11.2) / 2.5)
    filter = (n % 4 == 3) ? "L" : "V"
    printf "%.5f %.0f %s %d\n", jd, flux, filter, int((jd - 2440587.5) * 86400 + 0.5)
  }')
  jd=$1 flux=$2 filter=$3 seconds=$4
  date_obs=$(date -u -d "@$seconds" +%Y-%m-%dT%H:%M:%S)
  "$generator" --out "$work/frame.fit" --size 400x300 --crval 310.5,45.25 --scale 1.5 \
    --sky 1200 --gain 1.4 --read-noise 11 --exposure 120 --jd "$jd" --airmass 1.31 \
    --date-obs "$date_obs" --filter "$filter" --fwhm 3.2 --seed $((20230930 + night)) \
    --sky-star "20.7013888889,45.275,$flux" --sky-star 20.6994444444,45.22,160000 \
    --random-stars 20,400,30000 > /dev/null
  "$measure" --settings examples/korvane.ini --targets examples/targets.csv \
    --report-dir examples/reports "$work/frame.fit" > /dev/null 2>&1 || true
  night=$((night + 1))
done
ls examples/reports | wc -l
