#!/bin/sh
# Makes examples/field.fit, the bundled example field, with the star-field generator.
# Run from the top of the source tree after building the generator:
#   cmake --build build --target make_star_field && examples/make-example.sh
# An optional argument names the generator (default build/tests/make_star_field).
#
# The field: 400 x 300 pixels, 1.5"/pixel, centred on RA 20h42m00s (310.5 deg), Dec +45d15'00",
# sky 1200 ADU, gain 1.4 e-/ADU, read noise 11 e-, 120 s, FWHM 3.2 pixels, seed 20230930.
# Star 1 is the variable KV Exm (20h42m05.00s +45d16'30.0"), 25000 ADU;
# star 2 its reference star KV Exm C1 (20h41m58.00s +45d13'12.0", V = 11.20), 160000 ADU;
# then 20 random field stars.
# True V magnitude of KV Exm: 11.20 - 2.5 log10(25000 / 160000) = 13.215.
set -e
tool=${1:-build/tests/make_star_field}
"$tool" --out examples/field.fit --size 400x300 --crval 310.5,45.25 --scale 1.5 \
  --sky 1200 --gain 1.4 --read-noise 11 --exposure 120 --jd 2460218.3125 --airmass 1.31 \
  --date-obs 2023-09-30T19:30:00 --filter V --fwhm 3.2 --seed 20230930 \
  --sky-star 20.7013888889,45.275,25000 --sky-star 20.6994444444,45.22,160000 \
  --random-stars 20,400,30000
