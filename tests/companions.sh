#!/bin/sh
# End-to-end checks of what ships around bandsway: the plot and batch
# helpers, the manual page and the installation. One group per run.
#
# usage: companions.sh plot|batch|man|install SOURCE_DIR BUILD_DIR
#
# "check && ok || fail" is meant: ok and fail themselves never fail.
# shellcheck disable=SC2015
set -u
group=$1 src=$2 build=$3
tmp=$(mktemp -d)
mounted=""
trap '[ -z "$mounted" ] || umount "$mounted"; rm -rf "$tmp"' EXIT
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
  # graph stamps the time into each PNG; without it two runs give the
  # same bytes, whatever the clock says.
  grep -q "Creation Time" "$tmp/stdout.png" && fail "plot carries a time stamp" || ok
  bandsway-plot -o "$tmp/file.png" <"$tmp/curves" 2>"$tmp/err"
  status=$?
  expect "plot -o" 0 ""
  cmp -s "$tmp/stdout.png" "$tmp/file.png" && ok || fail "plot -o differs from stdout"
  # -o over an earlier file keeps its mode.
  echo earlier >"$tmp/mode.png" && chmod 600 "$tmp/mode.png"
  bandsway-plot -o "$tmp/mode.png" <"$tmp/curves" 2>"$tmp/err"
  [ -n "$(find "$tmp/mode.png" -perm 600)" ] && cmp -s "$tmp/stdout.png" "$tmp/mode.png" &&
    ok || fail "plot -o over a 0600 file: $(ls -l "$tmp/mode.png") $(cat "$tmp/err")"
  # One row of the batch table, after its header line.
  { printf 'path\tchunks\tsum_000\n/music/a song.flac\t80\t'; paste -s -d '\t' "$tmp/curves"; } >"$tmp/row"
  bandsway-plot <"$tmp/row" >"$tmp/row.png" 2>"$tmp/err"
  status=$?
  expect "plot of a table row" 0 ""
  is_png "$tmp/row.png" 800 900 && ok || fail "plot of a table row: not an 800x900 PNG"
  # graph's fonts have no UTF-8: a character beyond ASCII is drawn as one "?".
  { printf 'Bj\303\266rk\t80\t'; paste -s -d '\t' "$tmp/curves"; } | bandsway-plot >"$tmp/utf8.png"
  { printf 'Bj?rk\t80\t'; paste -s -d '\t' "$tmp/curves"; } | bandsway-plot >"$tmp/ascii.png"
  cmp -s "$tmp/utf8.png" "$tmp/ascii.png" && ok || fail "plot: a UTF-8 name is not drawn with one ? a character"
  # A full disk under -o: the earlier file stays, no partial file is left.
  if [ "$(id -u)" -ne 0 ]; then
    echo "plot: not root, so no tmpfs: the full-disk case is skipped"
  else
    mkdir "$tmp/full" && mount -t tmpfs -o size=64k tmpfs "$tmp/full" && mounted=$tmp/full
    echo earlier >"$tmp/full/p.png"
    dd if=/dev/zero of="$tmp/full/fill" bs=1024 count=64 2>/dev/null
    bandsway-plot -o "$tmp/full/p.png" <"$tmp/curves" 2>"$tmp/err"
    status=$?
    expect "plot -o on a full disk" 1 "cannot write .*No space left"
    TMPDIR="$tmp/full" bandsway-plot -o "$tmp/tmpfull.png" <"$tmp/curves" 2>"$tmp/err"
    status=$?
    expect "plot with a full TMPDIR" 1 "cannot write a temporary file in $tmp/full: No space left"
    left=$(find "$tmp/full" -type f ! -name fill ! -name p.png)
    [ "$(cat "$tmp/full/p.png")" = earlier ] && [ -z "$left" ] &&
      ok || fail "plot -o on a full disk: the earlier file changed or a partial file is left: $left"
  fi
  # Bad input and output (name:command:status:message): each message is
  # one short line of printable text, whatever the input.
  head -n 767 "$tmp/curves" >"$tmp/short"
  sed '300s/.*/12 34/' "$tmp/curves" >"$tmp/two"
  sed '5s/.*/nan/' "$tmp/curves" >"$tmp/nan"
  sed '5s/.*/1e999/' "$tmp/curves" >"$tmp/huge"
  sed '5s/.*/-1e308/' "$tmp/curves" >"$tmp/big"
  sed '4s/.*//' "$tmp/curves" >"$tmp/empty4"
  sed '2s/^[^	]*//' "$tmp/row" >"$tmp/nopath"
  ln -s file.png "$tmp/link.png" && mkfifo "$tmp/fifo"
  "$build/make_example" 1 >"$tmp/pcm"
  { cat "$tmp/row"; tail -n 1 "$tmp/row"; } >"$tmp/rows"
  while IFS=: read -r name cmd want msg; do
    eval "$cmd" <"$tmp/curves" 2>"$tmp/err"
    status=$?
    expect "plot: $name" "$want" "$msg"
    [ "$(wc -c <"$tmp/err")" -le 300 ] && ! tr -d '\n' <"$tmp/err" | LC_ALL=C grep -q '[^ -~]' &&
      ok || fail "plot: $name: stderr is not a short printable message: $(od -c "$tmp/err" | head -n 4)"
  done <<'EOF'
short input:bandsway-plot -o "$tmp/bad.png" <"$tmp/short":1:got 767
endless input:yes 1 | bandsway-plot -o "$tmp/bad.png":1:more than 768 values; stopped at line 769
endless line:bandsway-plot -o "$tmp/bad.png" </dev/zero:1:line 1 is not a number: "\\000\\000.*stopped reading after
binary input:bandsway-plot -o "$tmp/bad.png" <"$tmp/pcm":1:line 1
two numbers on a line:bandsway-plot -o "$tmp/bad.png" <"$tmp/two":1:line 300 is not a number
nan:bandsway-plot -o "$tmp/bad.png" <"$tmp/nan":1:line 5 is not a number
1e999:bandsway-plot -o "$tmp/bad.png" <"$tmp/huge":1:line 5 is not a finite number
-1e308:bandsway-plot -o "$tmp/bad.png" <"$tmp/big":1:line 5 is out of range
an empty line:bandsway-plot -o "$tmp/bad.png" <"$tmp/empty4":1:line 4 is empty
empty lines at the end:{ cat "$tmp/curves"; echo; echo; } | bandsway-plot -o "$tmp/blank.png":0:
an empty path:bandsway-plot -o "$tmp/bad.png" <"$tmp/nopath":1:line 2: the path is empty
empty input:bandsway-plot -o "$tmp/bad.png" </dev/null:1:got 0
two table rows:bandsway-plot -o "$tmp/bad.png" <"$tmp/rows":1:line 3: more than one row
closed standard output:bandsway-plot >&-:1:standard output is not open for writing
a folder as -o:bandsway-plot -o "$tmp":1:names a folder
a symbolic link as -o:bandsway-plot -o "$tmp/link.png":1:is a symbolic link
a FIFO as -o:bandsway-plot -o "$tmp/fifo":1:is not a regular file
a wrong option:bandsway-plot -z:2:unknown option -z
-o without a file:bandsway-plot -o:2:-o needs a file name
EOF
  [ ! -e "$tmp/bad.png" ] && ok || fail "plot: a failed run left $tmp/bad.png"
  [ -L "$tmp/link.png" ] && [ -p "$tmp/fifo" ] && ok || fail "plot: -o replaced a link or a FIFO"
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
