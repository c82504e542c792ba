#!/bin/sh
# End-to-end checks of what ships around bandsway: the plot and batch
# helpers, the manual page and the installation. One group per run.
#
# usage: companions.sh plot|batch|man|install SOURCE_DIR BUILD_DIR
set -u
group=$1 src=$2 build=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0

ok() {
  passed=$((passed + 1))
}
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*" >&2
}
# expect NAME STATUS MESSAGE-PATTERN: checks $status and $tmp/err.
expect() {
  if [ "$status" -ne "$2" ]; then
    fail "$1: status $status, expected $2; stderr: $(cat "$tmp/err")"
  elif [ -n "$3" ] && ! grep -q -- "$3" "$tmp/err"; then
    fail "$1: stderr lacks \"$3\": $(cat "$tmp/err")"
  else
    ok
  fi
}
# is_png FILE W H: PNG signature and the size in its header.
is_png() {
  sig=$(od -A n -t x1 -N 8 "$1" | tr -d ' \n')
  size=$(od -A n -t u1 -j 16 -N 8 "$1" | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }')
  [ "$sig" = 89504e470d0a1a0a ] && [ "$size" = "$2 $3" ]
}
raw2() { sox -t raw -e signed-integer -b 16 -c 2 -r 44100 -L "$@"; }

PATH="$build:$src/tools:$PATH"
export PATH

case $group in
plot)
  "$build/make_example" 20 | bandsway >"$tmp/curves" 2>/dev/null
  bandsway-plot <"$tmp/curves" >"$tmp/stdout.png" 2>"$tmp/err"
  status=$?
  expect "plot to stdout" 0 ""
  is_png "$tmp/stdout.png" 800 900 && ok || fail "plot to stdout: not an 800x900 PNG"
  bandsway-plot -o "$tmp/file.png" <"$tmp/curves" 2>"$tmp/err"
  status=$?
  expect "plot -o" 0 ""
  cmp -s "$tmp/stdout.png" "$tmp/file.png" && ok || fail "plot -o differs from stdout"
  # Malformed input: (name, input, message)
  head -n 767 "$tmp/curves" >"$tmp/short"
  { cat "$tmp/curves"; echo 1; } >"$tmp/long"
  sed '300s/.*/12 34/' "$tmp/curves" >"$tmp/two"
  sed '5s/.*/nan/' "$tmp/curves" >"$tmp/nan"
  : >"$tmp/empty"
  for c in "short:got 767" "long:got 769" "two:line 300 is not a number" \
    "nan:line 5 is not a number" "empty:got 0"; do
    name=${c%%:*}
    bandsway-plot -o "$tmp/bad.png" <"$tmp/$name" 2>"$tmp/err"
    status=$?
    expect "plot of $name input" 1 "${c#*:}"
  done
  bandsway-plot -z <"$tmp/curves" >/dev/null 2>"$tmp/err"
  status=$?
  expect "plot with a wrong option" 2 "usage"
  ;;
batch)
  lib="$tmp/lib"
  mkdir -p "$lib/sub dir"
  "$build/make_example" 3 >"$tmp/a.raw"
  "$build/make_example" 4 >"$tmp/b.raw"
  raw2 "$tmp/a.raw" "$lib/first song.wav"
  raw2 "$tmp/b.raw" "$lib/sub dir/second.flac"
  echo "not audio" >"$lib/broken.wav"
  echo "ignored" >"$lib/notes.txt"
  bandsway-batch -j 2 "$lib" >"$tmp/rows" 2>"$tmp/err"
  status=$?
  expect "batch with a broken file" 1 "broken.wav: cannot decode"
  [ "$(wc -l <"$tmp/rows")" -eq 2 ] && ok || fail "batch: expected 2 rows, got $(wc -l <"$tmp/rows")"
  i=0
  for f in "first song.wav:a" "sub dir/second.flac:b"; do
    i=$((i + 1))
    bandsway <"$tmp/${f#*:}.raw" | paste -s -d '\t' - >"$tmp/direct"
    printf '%s\t%s\n' "$lib/${f%:*}" "$(cat "$tmp/direct")" >"$tmp/want"
    sed -n "${i}p" "$tmp/rows" >"$tmp/got"
    cmp -s "$tmp/want" "$tmp/got" && ok || fail "batch row $i differs from a direct run: $(cut -c1-80 "$tmp/got")"
  done
  rm "$lib/broken.wav"
  bandsway-batch "$lib/sub dir/second.flac" "$lib/first song.wav" >"$tmp/rows2" 2>"$tmp/err"
  status=$?
  expect "batch of good files" 0 ""
  head -n 1 "$tmp/rows2" | grep -q "^$lib/first song.wav	" && ok || fail "batch rows are not in sorted order"
  bandsway-batch "$lib/missing.wav" >/dev/null 2>"$tmp/err"
  status=$?
  expect "batch of a missing file" 1 "missing.wav: no such file"
  ;;
man)
  groff -man -ww -z "$src/man/bandsway.1" 2>"$tmp/err"
  status=$?
  [ ! -s "$tmp/err" ] || status=99
  expect "manual page renders without warnings" 0 ""
  ;;
install)
  cmake --install "$build" --prefix "$tmp/p" >/dev/null 2>"$tmp/err"
  status=$?
  expect "cmake --install" 0 ""
  for f in bin/bandsway bin/bandsway-plot bin/bandsway-batch; do
    [ -x "$tmp/p/$f" ] && ok || fail "install: $f missing or not executable"
  done
  [ -f "$tmp/p/share/man/man1/bandsway.1" ] && ok || fail "install: man page missing"
  "$build/make_example" 2 | "$tmp/p/bin/bandsway" | "$tmp/p/bin/bandsway-plot" >"$tmp/i.png" 2>"$tmp/err"
  is_png "$tmp/i.png" 800 900 && ok || fail "installed pieces do not make a plot: $(cat "$tmp/err")"
  ;;
*)
  echo "usage: companions.sh plot|batch|man|install SOURCE_DIR BUILD_DIR" >&2
  exit 2
  ;;
esac

echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
