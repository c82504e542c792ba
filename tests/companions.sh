#!/bin/sh
# End-to-end checks of what ships around bandsway: the plot, batch and
# near helpers, the manual pages and the installation. One group per run.
#
# usage: companions.sh plot|batch|near|man|install SOURCE_DIR BUILD_DIR
#
# "check && ok || fail" is meant: ok and fail themselves never fail.
# shellcheck disable=SC2015
set -u
group=$1
# Absolute, so that they still name the same folders after a cd.
src=$(cd "$2" && pwd) || exit 2
build=$(cd "$3" && pwd) || exit 2
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
  bandsway-plot -o "$tmp/file.png" <"$tmp/curves" 2>"$tmp/err"
  status=$?
  expect "plot -o" 0 ""
  cmp -s "$tmp/stdout.png" "$tmp/file.png" && ok || fail "plot -o differs from stdout (or from an earlier run)"
  # -o over an earlier file keeps its mode.
  echo earlier >"$tmp/mode.png" && chmod 600 "$tmp/mode.png"
  bandsway-plot -o "$tmp/mode.png" <"$tmp/curves" 2>"$tmp/err"
  [ -n "$(find "$tmp/mode.png" -perm 600)" ] && cmp -s "$tmp/stdout.png" "$tmp/mode.png" &&
    ok || fail "plot -o over a 0600 file: $(ls -l "$tmp/mode.png") $(cat "$tmp/err")"
  # One row of the batch table, after its header line, with a UTF-8 name.
  { printf 'path\tchunks\tsum_000\n/music/Bj\303\266rk a song.flac\t80\t'; paste -s -d '\t' "$tmp/curves"; } >"$tmp/row"
  bandsway-plot <"$tmp/row" >"$tmp/row.png" 2>"$tmp/err"
  status=$?
  expect "plot of a table row" 0 ""
  is_png "$tmp/row.png" 800 900 && ok || fail "plot of a table row: not an 800x900 PNG"
  # SVG and PDF by their magic bytes, and the same bytes on a second run
  # (a PDF but for the time cairo writes into it).
  for f in 1 2; do
    bandsway-plot -o "$tmp/$f.svg" <"$tmp/row" && bandsway-plot -o "$tmp/$f.pdf" <"$tmp/row"
  done 2>"$tmp/err"
  [ "$(head -c 5 "$tmp/1.pdf")" = "%PDF-" ] && grep -q '^<svg' "$tmp/1.svg" && ok || fail "plot: not an SVG and a PDF: $(cat "$tmp/err")"
  cmp -s "$tmp/1.svg" "$tmp/2.svg" && ok || fail "plot: two SVGs of the same curves differ"
  grep -av /CreationDate "$tmp/1.pdf" >"$tmp/1.pdfm" && grep -av /CreationDate "$tmp/2.pdf" | cmp -s - "$tmp/1.pdfm" &&
    ok || fail "plot: two PDFs of the same curves differ beyond their date"
  grep -q "<text>$(printf 'Bj\303\266rk') a song.flac</text>" "$tmp/1.svg" && ok || fail "plot: the UTF-8 title is not drawn as it is"
  # A collection: 3 rows of different lengths, sorted by the rate of the
  # sum's peak (value 200, 50, 120 of 256), named in that order.
  row() { # NAME CHUNKS PEAK
    awk -v n="$1" -v c="$2" -v p="$3" 'BEGIN { printf "%s\t%s", n, c
      for (i = 0; i < 768; i++) printf "\t%s", (i == p ? 5 : 1); print "" }'
  }
  { printf 'path\tchunks\tsum_000\n'; row lib/late 80 200; row lib/early 800 50; row lib/middle 240 120; } >"$tmp/t3.tsv"
  bandsway-plot -o "$tmp/t3.svg" "$tmp/t3.tsv" 2>"$tmp/err"
  status=$?
  expect "plot of a table" 0 ""
  bandsway-plot -o "$tmp/t3b.svg" "$tmp/t3.tsv" && cmp -s "$tmp/t3.svg" "$tmp/t3b.svg" && ok || fail "plot: two SVGs of the same table differ"
  [ "$(grep -Eo '<text>(early|middle|late)</text>' "$tmp/t3.svg" | tr '\n' ' ')" = "<text>early</text> <text>middle</text> <text>late</text> " ] &&
    ok || fail "plot of a table: rows not named in the order of their peaks: $(grep -Eo '<text>(early|middle|late)</text>' "$tmp/t3.svg" | tr '\n' ' ')"
  # Damaged rows are named and skipped; the rest is drawn, and the run fails.
  { cat "$tmp/t3.tsv"; echo 'lib/cut	80	1'; row lib/nan 80 3 | sed 's/	1	/	nan	/'; } >"$tmp/bad.tsv"
  bandsway-plot "$tmp/bad.tsv" <&- >"$tmp/t.png" 2>"$tmp/err"
  status=$?
  expect "plot of a damaged table" 1 "line 5: 3 tab-separated fields"
  grep -q "line 6, value 1 is not a number" "$tmp/err" && is_png "$tmp/t.png" 1200 900 && ok || fail "plot of a damaged table: $(cat "$tmp/err")"
  # 2,000 rows within a bound on memory (not under AddressSanitizer, which
  # reserves far more address space than it uses).
  awk 'NR > 1 { r[NR - 2] = $0 } END { for (i = 0; i < 2000; i++) print r[i % 3] }' "$tmp/t3.tsv" >"$tmp/2k.tsv"
  if grep -q '^BANDSWAY_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "plot: a sanitizer build: the memory bound is not checked"
  else
    # The bound is on the plot's own memory: gnuplot's address space,
    # which its fonts and libraries set, is a stand-in's here.
    mkdir "$tmp/gp" && printf '#!/bin/sh\ncat >/dev/null\ncat "%s"\n' "$tmp/stdout.png" >"$tmp/gp/gnuplot" && chmod +x "$tmp/gp/gnuplot"
    # shellcheck disable=SC3045 # dash and FreeBSD's sh both have ulimit -v
    (ulimit -v 300000 && PATH="$tmp/gp:$PATH" bandsway-plot -o "$tmp/2k.png" - <"$tmp/2k.tsv") 2>"$tmp/err"
    status=$?
    expect "plot of 2,000 rows in 300 MB" 0 ""
  fi
  # Flat curves draw, whatever their size.
  for v in 0 1e16 -3e99; do
    awk -v v="$v" 'BEGIN { for (i = 0; i < 768; i++) print v }' | bandsway-plot -o "$tmp/flat.png" 2>"$tmp/err"
    status=$?
    expect "plot of curves flat at $v" 0 ""
  done
  # -o onto a file in a folder the user may not write to. Root may write
  # anywhere: as root the case runs as nobody, with a copy of the program
  # that nobody can reach.
  mkdir "$tmp/ro" && echo earlier >"$tmp/ro/p.png" && chmod 555 "$tmp/ro"
  as_user="" prog=bandsway-plot
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 711 "$tmp" && cp "$build/bandsway-plot" "$tmp/bsp" && chmod 755 "$tmp/bsp"
    as_user="setpriv --reuid=65534 --regid=65534 --clear-groups" prog=$tmp/bsp
  fi
  if [ "$(id -u)" -eq 0 ] && [ -z "$as_user" ]; then
    echo "plot: root without setpriv: the read-only folder case is skipped"
  else
    # shellcheck disable=SC2086 # as_user is a command of several words
    $as_user "$prog" -o "$tmp/ro/p.png" <"$tmp/curves" 2>"$tmp/err"
    status=$?
    expect "plot -o in a read-only folder" 1 "^bandsway-plot: cannot write $tmp/ro/p.png: Permission denied$"
    [ "$(cat "$tmp/ro/p.png")" = earlier ] && ok || fail "plot -o in a read-only folder changed the file"
  fi
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
    TMPDIR="$tmp/full" bandsway-plot -o "$tmp/tmpfull.png" "$tmp/2k.tsv" 2>"$tmp/err"
    status=$?
    expect "plot of a table with a full TMPDIR" 1 "cannot write a temporary file in $tmp/full: No space left"
    left=$(find "$tmp/full" -type f ! -name fill ! -name p.png)
    [ "$(cat "$tmp/full/p.png")" = earlier ] && [ -z "$left" ] &&
      ok || fail "plot -o on a full disk: the earlier file changed or a partial file is left: $left"
  fi
  # Bad input and output (name:command:status:message): each message is
  # one short line of printable text, whatever the input.
  # Stand-ins for gnuplot: one prints 25 bytes of text, one a PNG cut to
  # 1,000 bytes, one a PNG's first and last bytes around junk, one a whole
  # picture after a warning.
  for gp in text cut junk warn; do
    mkdir "$tmp/gp-$gp"
    case $gp in
    text) body='printf "set terminal pngcairo\\n12\\n"' ;;
    cut) body="head -c 1000 '$tmp/stdout.png'" ;;
    junk) body="head -c 33 '$tmp/stdout.png'; echo junk; tail -c 12 '$tmp/stdout.png'" ;;
    warn) body="echo 'Could not find/open font when opening font \"Sans\"' >&2; cat '$tmp/stdout.png'" ;;
    esac
    printf '#!/bin/sh\ncat >/dev/null\n%s\n' "$body" >"$tmp/gp-$gp/gnuplot"
    chmod +x "$tmp/gp-$gp/gnuplot"
  done
  # with_gnuplot NAME COMMAND...: runs COMMAND with that stand-in.
  with_gnuplot() {
    gp=$1
    shift
    PATH="$tmp/gp-$gp:$PATH" "$@"
  }
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
  head -n 1 "$tmp/row" >"$tmp/hdr"
  row 'lib/100%d%s.flac' 80 20 >"$tmp/pct.tsv"
  while IFS=: read -r name cmd want msg; do
    eval "$cmd" <"$tmp/curves" 2>"$tmp/err"
    status=$?
    expect "plot: $name" "$want" "$msg"
    [ "$(wc -c <"$tmp/err")" -le 300 ] && ! tr -d '\n' <"$tmp/err" | LC_ALL=C grep -q '[^ -~]' &&
      ok || fail "plot: $name: stderr is not a short printable message: $(od -c "$tmp/err" | head -n 4)"
  done <<'EOF'
short input:bandsway-plot -o "$tmp/bad.png" <"$tmp/short":1:got 767
endless input:yes 1 | bandsway-plot -o "$tmp/bad.png":1:more than 768 values; stopped at line 769
endless line:bandsway-plot -o "$tmp/bad.png" </dev/zero:1:line 1 is not a number: "\\x00\\x00.*stopped reading after
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
another format:bandsway-plot -o "$tmp/bad.jpg":1:must end in .png, .svg or .pdf
two tables:bandsway-plot a b:2:one table at a time
a missing table:bandsway-plot "$tmp/none.tsv":1:cannot read .*none.tsv: No such file
only a header:bandsway-plot - <"$tmp/hdr":1:no rows to draw in standard input
a wrong option:bandsway-plot -z:2:unknown option "-z"
a long option:bandsway-plot --out:2:unknown option "--out"
--help:bandsway-plot --help | grep -q '^usage. bandsway-plot':0:
--version:[ "$(bandsway-plot --version)" = "bandsway-plot $(bandsway --version | cut -d ' ' -f 2)" ]:0:
the table as -o:cp "$tmp/t3.tsv" "$tmp/same.png" && { bandsway-plot -o "$tmp/same.png" "$tmp/same.png"; [ $? -eq 1 ]; } && cmp -s "$tmp/t3.tsv" "$tmp/same.png":0:is the table itself
the table on standard input as -o:{ bandsway-plot -o "$tmp/same.png" - <"$tmp/same.png"; [ $? -eq 1 ]; } && cmp -s "$tmp/t3.tsv" "$tmp/same.png":0:is the table itself
-o ending in a slash:bandsway-plot -o "$tmp/none.png/":1:ends in a slash
escapes in a table's name:bandsway-plot "$tmp/$(printf 'e\033]0;T\007\302\233[2J.tsv')":1:cannot read .*e\\x1b\]0;T\\x07\\xc2\\x9b\[2J.tsv
a spreadsheet's table:{ printf '\357\273\277'; sed 's/$/\r/' "$tmp/t3.tsv"; } >"$tmp/sheet.tsv" && bandsway-plot -o "$tmp/sheet.png" "$tmp/sheet.tsv":0:
curves with CRLF:sed 's/$/\r/' "$tmp/curves" | bandsway-plot -o "$tmp/crlf.png":0:
a gnuplot that prints text:with_gnuplot text bandsway-plot -o "$tmp/bad.png":1:gnuplot wrote no whole picture (25 bytes)
a cut picture:with_gnuplot cut bandsway-plot -o "$tmp/bad.png":1:gnuplot wrote no whole picture (1000 bytes)
junk between a picture's ends:with_gnuplot junk bandsway-plot -o "$tmp/bad.png":1:gnuplot wrote no whole picture (50 bytes)
a gnuplot that warns:with_gnuplot warn bandsway-plot -o "$tmp/warn.png":0:gnuplot. Could not find/open font
an option after the table:bandsway-plot "$tmp/t3.tsv" -o "$tmp/c.png":2:options go before the table, not after it: "-o"
-o without a file:bandsway-plot -o:2:-o needs a file name
a file size limit:(ulimit -f 8 && bandsway-plot -o "$tmp/bad.png"):1:cannot write .*bad.png: File too large
a % in a name:bandsway-plot -o "$tmp/pct.svg" "$tmp/pct.tsv" && grep -q '<text>100%d%s.flac</text>' "$tmp/pct.svg":0:
the curves as a table:bandsway-plot -o "$tmp/bad.png" "$tmp/curves":1:line 1 is a lone number, as in the curves
two tables joined by cat:cat "$tmp/t3.tsv" "$tmp/t3.tsv" | bandsway-plot -o "$tmp/c.png" -:0:
the C locale:LC_ALL=C bandsway-plot -o "$tmp/c.png":0:
a full standard output:bandsway-plot >/dev/full:1:cannot write the picture to standard output: No space left
the peak at the last point:{ cat "$tmp/t3.tsv"; row lib/last 800 255; } >"$tmp/t4.tsv" && bandsway-plot -o "$tmp/t4.svg" "$tmp/t4.tsv" && grep -Eo '<text>[a-z]*</text>' "$tmp/t4.svg" | tr -d '\n' | grep -q "^<text>early</text><text>middle</text><text>late</text><text>last</text><text>sum":0:
an apostrophe in a row's name:{ sed 1q "$tmp/row"; printf "lib/Don't Stop.flac\t80\t"; paste -s -d '\t' "$tmp/curves"; } >"$tmp/apos.tsv" && bandsway-plot -o "$tmp/apos.svg" <"$tmp/apos.tsv" && grep -q "<text>Don't Stop.flac</text>" "$tmp/apos.svg":0:
an apostrophe in a collection:bandsway-plot -o "$tmp/apos2.svg" "$tmp/apos.tsv" && grep -q "<text>Don't Stop.flac</text>" "$tmp/apos2.svg":0:
a GNUTERM this gnuplot lacks:GNUTERM=nosuchterm bandsway-plot -o "$tmp/c.png":0:
EOF
  [ ! -e "$tmp/bad.png" ] && [ -z "$(find "$tmp" -name '.bandsway-plot.*')" ] &&
    ok || fail "plot: a failed run left $tmp/bad.png or a temporary file: $(find "$tmp" -name '.bandsway-plot.*')"
  [ -L "$tmp/link.png" ] && [ -p "$tmp/fifo" ] && ok || fail "plot: -o replaced a link or a FIFO"
  ;;
batch)
  # A library with odd names, an m4a made by ffmpeg, Ogg and MP3 files,
  # and damaged files, some cut short where their decoders do not notice.
  lib="$tmp/lib"
  tab=$(printf '\t') nl=$(printf '\nx') nl=${nl%x}
  mkdir -p "$lib/sub dir" "$lib/-music"
  "$build/make_example" 3 >"$tmp/a.raw"
  "$build/make_example" 4 >"$tmp/b.raw"
  raw2 "$tmp/a.raw" "$lib/first song.wav"
  raw2 "$tmp/b.raw" "$lib/sub dir/second.flac"
  raw2 "$tmp/a.raw" "$lib/tab${tab}here.wav"
  raw2 "$tmp/b.raw" "$lib/new${nl}line.wav"
  # 24 bits: decoded to 16 the same way on every run.
  raw2 "$tmp/a.raw" -b 24 "$lib/-music/-dash.flac" vol 0.9
  ffmpeg -nostdin -v error -f s16le -ac 2 -ar 44100 -i "$tmp/b.raw" "$lib/sub dir/third.m4a"
  "$build/make_example" 5 | raw2 - "$tmp/five.flac"
  head -c 180000 "$tmp/five.flac" >"$lib/cut.flac"
  sox "$tmp/five.flac" "$tmp/five.wav" && head -c 396919 "$tmp/five.wav" >"$lib/cut.wav"
  raw2 "$tmp/b.raw" "$lib/fourth.ogg"
  printf 'TAG%-125s' "an ID3v1 tag, as some taggers append" >>"$lib/fourth.ogg"
  # A name that, taken as a pattern, matches -dash.flac (so not made in
  # place: sox takes its output name as a pattern too).
  raw2 "$tmp/b.raw" "$tmp/b.flac" && mv "$tmp/b.flac" "$lib/-music/[-]dash.flac"
  ffmpeg -nostdin -v error -f s16le -ac 2 -ar 44100 -i "$tmp/a.raw" "$lib/fifth.mp3"
  raw2 "$tmp/five.flac" "$tmp/five.ogg"
  ffmpeg -nostdin -v error -i "$tmp/five.flac" "$tmp/five.mp3"
  head -c 40000 "$tmp/five.ogg" >"$lib/cut.ogg"
  head -c 40000 "$tmp/five.mp3" >"$lib/cut.mp3"
  echo "not audio" >"$lib/broken.wav"
  echo "ignored" >"$lib/notes.txt"
  # The table from direct runs: decoded length, then bandsway's values.
  {
    printf 'path\tchunks'
    for c in sum tilt alt; do
      i=0
      while [ $i -lt 256 ]; do printf '\t%s_%03d' $c $i && i=$((i + 1)); done
    done
    echo
    for f in "first song.wav:first song.wav" "sub dir/second.flac:sub dir/second.flac" \
      "tab${tab}here.wav:tab\\there.wav" "new${nl}line.wav:new\\nline.wav" \
      "-music/-dash.flac:-music/-dash.flac" "sub dir/third.m4a:sub dir/third.m4a" \
      "fourth.ogg:fourth.ogg" "fifth.mp3:fifth.mp3" "-music/[-]dash.flac:-music/[-]dash.flac"; do
      case $f in
      *.m4a:*) ffmpeg -nostdin -v error -i "$lib/${f%%:*}" -f s16le -ac 2 -ar 44100 - ;;
      *) sox -D --no-glob "$lib/${f%%:*}" -t raw -e signed-integer -b 16 -c 2 -r 44100 -L - ;;
      esac >"$tmp/d.raw"
      printf '%s\t%s\t%s\n' "$lib/${f#*:}" $(($(wc -c <"$tmp/d.raw") / 44100)) \
        "$(bandsway <"$tmp/d.raw" | paste -s -d '\t' -)"
    done | LC_ALL=C sort
  } >"$tmp/want"

  bandsway-batch -j 2 "$lib" >"$tmp/rows" 2>"$tmp/err"
  status=$?
  expect "batch with damaged files" 1 "broken.wav: cannot decode"
  grep -q "cut.flac: cannot decode: sox FAIL" "$tmp/err" && ok || fail "batch: a truncated FLAC is not a failure: $(cat "$tmp/err")"
  grep -q "cut.wav: cannot decode: .*Premature EOF" "$tmp/err" && ok || fail "batch: a truncated WAV is not a failure: $(cat "$tmp/err")"
  grep -q "cut.ogg: cut short: it does not end with a whole Ogg page" "$tmp/err" && ok || fail "batch: a truncated Ogg file is not a failure: $(cat "$tmp/err")"
  grep -q "cut.mp3: cut short: it decodes to .* of the 5.0 s its header gives" "$tmp/err" && ok || fail "batch: a truncated MP3 is not a failure: $(cat "$tmp/err")"
  cmp -s "$tmp/want" "$tmp/rows" && ok || fail "batch: table differs from direct runs: $(diff "$tmp/want" "$tmp/rows" | cut -c1-100 | head -n 4)"
  # The table, and one of its rows, drawn.
  bandsway-plot -o "$tmp/lib.png" "$tmp/rows" 2>"$tmp/err" && sed -n '1p;3p' "$tmp/rows" | bandsway-plot -o "$tmp/row.png" 2>>"$tmp/err" &&
    is_png "$tmp/lib.png" 1200 900 && is_png "$tmp/row.png" 800 900 && ok || fail "batch: its table is not drawn by bandsway-plot: $(cat "$tmp/err")"

  # (name, arguments, status, message, rows it must print or "-")
  ln -s "$lib" "$tmp/link"
  mkdir "$tmp/loop" "$tmp/none"
  cp "$lib/first song.wav" "$tmp/loop/one.wav"
  ln -s . "$tmp/loop/self"
  mkdir "$tmp/dang" "$tmp/two" "$tmp/m" "$tmp/m2"
  for f in "#bsw 1 h 5 0" "#bsw song.flac" "${tab}bsw end 2 h 5 0"; do cp "$lib/sub dir/second.flac" "$tmp/$f"; done
  cp "$lib/first song.wav" "$tmp/m/one.wav"
  cp "$lib/first song.wav" "$tmp/m2/one.wav"
  cp "$lib/first song.wav" "$tmp/dang/one.wav"
  cp "$lib/first song.wav" "$tmp/two/one.wav"
  ln -s /nonexistent/unmounted.flac "$tmp/dang/gone.flac"
  ln -s /nonexistent/folder "$tmp/dang/gone"
  cd "$tmp" || exit 1
  # A table that another run holds: its lock, taken on an open file of
  # this shell, lasts until the file is closed below.
  exec 7>>"$tmp/busy.tsv"
  perl -e 'open(my $f, ">>&=", 7) or die; flock($f, 6) or die' || fail "batch: cannot lock a table for the test"
  while IFS=: read -r name args want_status pattern want_rows; do
    eval "set -- $args"
    bandsway-batch "$@" >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "batch $name" "$want_status" "$pattern"
    [ "$want_rows" = - ] || [ "$(($(wc -l <"$tmp/out") - 1))" -eq "$want_rows" ] ||
      fail "batch $name: expected $want_rows rows, got $(($(wc -l <"$tmp/out") - 1))"
  done <<EOF2
folder given twice:lib ./lib/. "lib/sub dir" "lib/first song.wav":1:broken.wav:9
link to a folder:"\$tmp/link/sub dir":0::2
link loop:"\$tmp/loop":1:loop:1
no audio files:"\$tmp/none":1:no audio files:-
missing file:"\$lib/missing.wav" "\$lib/first song.wav":1:no such file:1
-j 0:-j 0 "\$lib":2:usage:-
-j abc:-j abc "\$lib":2:not 'abc':-
-j too large:-j 99999999999999999999 "\$lib":2:usage:-
no arguments::2:usage:-
empty argument:"":1:empty argument:-
-o onto a link:-o "\$tmp/link" lib:1:symbolic link:-
-o in use:-o "\$tmp/busy.tsv" lib:1:in use:-
dangling links:"\$tmp/dang":1:dang/gone.flac. a symbolic link to nothing:1
one file named twice:two/ "\$tmp/two/one.wav" ./two/one.wav:0::1
names like a job's own lines:"#bsw 1 h 5 0" "#bsw song.flac" "\${tab}bsw end 2 h 5 0":0::3
sibling folders, one name the start of the other's:m m2:0::2
-j at the end:-j:2:-j takes a value:-
an unknown option:-+ lib:2:no option "-+":-
-j far above the files:-j 9999 "\$lib/first song.wav" lib/fifth.mp3:0::2
-o new, no audio files:-o "\$tmp/new.tsv" "\$tmp/none":1:no audio files:-
EOF2
  exec 7>&-
  [ "$(bandsway-batch --help | head -n 1 | cut -c 1-21)" = "usage: bandsway-batch" ] &&
    [ "$(bandsway-batch --version lib)" = "bandsway-batch $(bandsway --version | cut -d ' ' -f 2)" ] &&
    ok || fail "batch: --help and --version do not answer on standard output"
  [ ! -e "$tmp/new.tsv" ] && ok || fail "batch -o new, no audio files: left an empty $tmp/new.tsv"
  bandsway-batch "$lib/first song.wav" >&- 2>"$tmp/err"
  status=$?
  expect "batch to a closed stdout" 1 "cannot write to standard output"

  # -o: a whole run writes the same table; an interrupted one (rows left
  # out, one damaged, the last cut in the middle) is completed without
  # redoing the rows it has (one is marked: its chunks read 999).
  bandsway-batch -o "$tmp/t.tsv" "$lib" 2>/dev/null
  cmp -s "$tmp/want" "$tmp/t.tsv" && ok || fail "batch -o: table differs from standard output"
  { sed -n '1p;3p' "$tmp/want"; sed -n 4p "$tmp/want" | cut -f 1-99; sed -n 5p "$tmp/want" | sed 's/	[0-9]*	/	999	/'; sed -n 2p "$tmp/want" | head -c 3000; } >"$tmp/t.tsv"
  sed '5s/	[0-9]*	/	999	/' "$tmp/want" >"$tmp/want999"
  bandsway-batch -j 2 -o "$tmp/t.tsv" "$lib" 2>"$tmp/err"
  status=$?
  expect "batch -o resumed" 1 "broken.wav: cannot decode"
  cmp -s "$tmp/want999" "$tmp/t.tsv" && ok || fail "batch -o resumed: table differs from one whole run"
  echo "my notes" >"$tmp/notes.tsv"
  bandsway-batch -o "$tmp/notes.tsv" "$lib" 2>"$tmp/err"
  status=$?
  expect "batch -o onto another file" 1 "not a table"
  # A table that a spreadsheet saved (a byte order mark, CRLF line ends)
  # is named as such and left as it is.
  printf '\357\273\277' | cat - "$tmp/want" >"$tmp/bom.tsv"
  sed 's/$/\r/' "$tmp/want" >"$tmp/crlf.tsv"
  for f in bom.tsv crlf.tsv; do
    cp "$tmp/$f" "$tmp/before"
    bandsway-batch -o "$tmp/$f" "$lib/first song.wav" 2>"$tmp/err"
    status=$?
    expect "batch -o onto $f" 1 "has a byte order mark or CRLF line ends"
    cmp -s "$tmp/before" "$tmp/$f" && ok || fail "batch -o onto $f changed it"
  done
  # Nor is any other file touched: not a last line without its newline,
  # nor a one-line file, nor audio.
  printf 'my notes\nlast line' >"$tmp/notes.txt"
  printf 'one line' >"$tmp/one.txt"
  cp "$lib/sub dir/second.flac" "$tmp/victim.flac"
  for f in notes.txt one.txt victim.flac; do
    cp "$tmp/$f" "$tmp/before"
    bandsway-batch -o "$tmp/$f" "$lib/first song.wav" 2>"$tmp/err"
    status=$?
    expect "batch -o onto $f" 1 "not a table"
    cmp -s "$tmp/before" "$tmp/$f" && ok || fail "batch -o onto $f changed it"
  done

  # More files: cut where only their headers tell (AIFF, WavPack, a FLAC
  # cut at a frame's start, where sox only warns of its MD5), a WAV
  # streamed with unknown (all-ones) sizes, a FLAC named .ogg, and a name
  # that a terminal would take for an escape sequence.
  more="$tmp/more"
  mkdir "$more"
  raw2 "$tmp/five.flac" "$tmp/five.aiff" && head -c 400000 "$tmp/five.aiff" >"$more/cut.aiff"
  # FreeBSD's sox port writes no WavPack by default: ffmpeg's encoder then.
  if raw2 "$tmp/five.flac" "$tmp/five.wv" 2>/dev/null ||
    ffmpeg -nostdin -v error -i "$tmp/five.flac" -c:a wavpack "$tmp/five.wv"; then
    head -c 300000 "$tmp/five.wv" >"$more/cut.wv"
  else
    echo "note: neither sox nor ffmpeg writes WavPack here; the cut WavPack row is skipped" >&2
  fi
  ffmpeg -nostdin -v error -f s16le -ac 2 -ar 44100 -i "$tmp/a.raw" -f wav - >"$more/streamed.wav"
  cp "$lib/sub dir/second.flac" "$more/flac.ogg"
  frame=$(od -A d -t x1 -v "$tmp/five.flac" | awk '{ for (i = 2; i <= NF; i++) { if (p == "ff" && $i == "f8") print $1 + i - 3; p = $i } }' | sed -n 15p)
  head -c "$frame" "$tmp/five.flac" >"$more/frame.flac"
  esc=$(printf 'esc\033]0;retitled\007.wav')
  echo "not audio" >"$more/$esc"
  {
    sed -n 1p "$tmp/want"
    sed -n '/first song.wav/p;/second.flac/p' "$tmp/want" |
      sed "s|$lib/first song.wav|$more/streamed.wav|; s|$lib/sub dir/second.flac|$more/flac.ogg|" | LC_ALL=C sort
  } >"$tmp/want.more"
  bandsway-batch -j 2 "$more" >"$tmp/rows" 2>"$tmp/err"
  status=$?
  expect "batch, more files" 1 "cut.aiff: cut short"
  [ ! -e "$more/cut.wv" ] || grep -q "cut.wv: cut short" "$tmp/err" && ok || fail "batch: a cut WavPack file is not a failure: $(cat "$tmp/err")"
  grep -Eq "frame.flac: (cannot decode|cut short)" "$tmp/err" && ok || fail "batch: a FLAC cut at a frame is not a failure: $(cat "$tmp/err")"
  cmp -s "$tmp/want.more" "$tmp/rows" && ok || fail "batch, more files: rows differ: $(diff "$tmp/want.more" "$tmp/rows" | cut -c1-80 | head -n 4)"
  grep -q 'esc\\x1b\]0;retitled\\x07.wav: cannot decode' "$tmp/err" && ! tr -d '\n' <"$tmp/err" | LC_ALL=C grep -q '[^ -~]' &&
    ok || fail "batch: a control byte of a name reached stderr: $(od -c "$tmp/err" | grep -m 1 033)"
  # C1 controls, in UTF-8 and as raw bytes, and a newline, in the names of
  # files that fail: each name is shown whole, escaped, in the decoder's
  # message too.
  mkdir "$tmp/names"
  echo "not audio" >"$tmp/names/$(printf 'c1\302\233[2J\235.wav')"
  echo "not audio" >"$tmp/names/bad${nl}name.wav"
  bandsway-batch "$tmp/names" >/dev/null 2>"$tmp/err"
  status=$?
  expect "batch, control bytes in names" 1 'c1\\xc2\\x9b\[2J\\x9d.wav: cannot decode'
  grep -q 'bad\\nname.wav: cannot decode: .*bad\\nname.wav' "$tmp/err" && ! tr -d '\n' <"$tmp/err" | LC_ALL=C grep -q '[^ -~]' &&
    ok || fail "batch, control bytes in names: $(cat "$tmp/err")"

  # Cut by a few bytes, where only the stated length tells: an AIFF by 1,
  # 7, 100 and 1000 bytes, which sox decodes without a word, and an MP3
  # with ffmpeg's LAME tag by 1,500 bytes (0.09 s).
  cuts="$tmp/cuts"
  mkdir "$cuts"
  "$build/make_example" 6 >"$tmp/six.raw"
  raw2 "$tmp/six.raw" "$tmp/six.aiff"
  ffmpeg -nostdin -v error -f s16le -ac 2 -ar 44100 -i "$tmp/six.raw" "$tmp/six.mp3"
  for n in 1 7 100 1000; do
    head -c $(($(wc -c <"$tmp/six.aiff") - n)) "$tmp/six.aiff" >"$cuts/by$n.aiff"
  done
  head -c $(($(wc -c <"$tmp/six.mp3") - 1500)) "$tmp/six.mp3" >"$cuts/by1500.mp3"
  bandsway-batch -j 2 "$cuts" >/dev/null 2>"$tmp/err"
  status=$?
  expect "batch, files cut by a few bytes" 1 ""
  for f in by1.aiff by7.aiff by100.aiff by1000.aiff by1500.mp3; do
    grep -q "/$f: cut short" "$tmp/err" && ok || fail "batch: $f, cut by a few bytes, is not cut short: $(cat "$tmp/err")"
  done

  # A stop while a file is being decoded, by a sox that never ends: a
  # SIGTERM to the run's process group (timeout, systemd) ends it as such,
  # and a SIGKILL of the driver alone frees the table at once and ends the
  # job and its decoder.
  mkdir "$tmp/slow"
  cat >"$tmp/slow/sox" <<EOF2
#!/bin/sh
[ "\$1" != -h ] || exec "$(command -v sox)" -h
echo \$\$ >"$tmp/slow/started"
exec sleep 60
EOF2
  chmod +x "$tmp/slow/sox"
  started() {
    i=0
    while [ ! -s "$tmp/slow/started" ] && [ $i -lt 600 ]; do sleep 0.1 && i=$((i + 1)); done
  }
  PATH="$tmp/slow:$PATH" perl -e 'setpgrp(0, 0); exec @ARGV or die' bandsway-batch "$lib/first song.wav" >/dev/null 2>"$tmp/err" &
  pid=$!
  started
  kill -TERM "-$pid"
  wait "$pid"
  status=$?
  expect "batch, SIGTERM to its process group" 143 "stopped by SIGTERM"
  rm -f "$tmp/slow/started"
  PATH="$tmp/slow:$PATH" bandsway-batch -o "$tmp/k.tsv" "$lib/first song.wav" 2>/dev/null &
  pid=$!
  started
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  bandsway-batch -o "$tmp/k.tsv" "$lib/first song.wav" 2>"$tmp/err"
  status=$?
  expect "batch -o after a SIGKILL of the driver alone" 0 ""
  slow=$(cat "$tmp/slow/started")
  i=0
  while kill -0 "$slow" 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1 && i=$((i + 1)); done
  kill -0 "$slow" 2>/dev/null && fail "batch: a job's decoder outlived its killed driver" || ok

  # Without /proc, as on FreeBSD: local jobs still run this program, not
  # a bandsway-batch that comes first on the PATH.
  if grep -q '^BANDSWAY_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "note: a sanitizer build, whose LeakSanitizer needs /proc: the row without /proc is skipped" >&2
  elif [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    mkdir "$tmp/wrong" && printf '#!/bin/sh\nexit 9\n' >"$tmp/wrong/bandsway-batch" &&
      chmod +x "$tmp/wrong/bandsway-batch" && ln -s "$build/bandsway" "$tmp/wrong/"
    # shellcheck disable=SC2016 # the inner shell's arguments
    unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && PATH="$1:/usr/bin:/bin" exec "$2" "$3"' \
      sh "$tmp/wrong" "$build/bandsway-batch" "$lib/first song.wav" >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "batch without /proc" 0 ""
    [ "$(wc -l <"$tmp/out")" -eq 2 ] && ok || fail "batch without /proc: no row"
  else
    echo "note: a mount namespace needs root and unshare; the row without /proc is skipped" >&2
  fi

  # A current folder deeper than PATH_MAX: the run fails before it prints
  # or creates anything.
  # (perl goes there: sh's cd stops at PATH_MAX.)
  deep() {
    # shellcheck disable=SC2016 # perl's variables
    perl -e 'my $d = "0" x 200; for (1 .. 22) { mkdir $d; chdir $d or die "chdir: $!" } exec @ARGV or die' "$@"
  }
  deep bandsway-batch "$lib/first song.wav" >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "batch in a folder deeper than PATH_MAX" 1 "cannot tell the current folder"
  deep bandsway-batch -o t.tsv "$lib/first song.wav" 2>/dev/null
  [ ! -s "$tmp/out" ] && deep sh -c '[ ! -e t.tsv ]' && ok || fail "batch in a folder deeper than PATH_MAX printed or made a table: $(head -c 30 "$tmp/out")"
  rm -rf "$tmp/0000"*
  # A table whose name leaves no room for a suffix is still rewritten in
  # sorted order (its second row finishes first).
  name=$tmp/$(printf '%0251d' 0)
  sed -n '1p;/second.flac/p' "$tmp/want" >"$name"
  bandsway-batch -o "$name" "$lib/first song.wav" "$lib/sub dir/second.flac" 2>"$tmp/err"
  status=$?
  expect "batch -o, a table named with 251 bytes" 0 ""
  sed -n '1p;/first song.wav/p;/second.flac/p' "$tmp/want" | cmp -s - "$name" && ok || fail "batch -o, a table named with 251 bytes: not sorted"
  rm -f "$name"

  # A decoder that would write 4 GB, past bandsway's 65,536 chunks, of a
  # sparse WAV said to hold 97,000: cut off at the cap, the row has the
  # cap's chunks and bandsway's warning, and the plot draws it.
  mkdir "$tmp/endless"
  cat >"$tmp/endless/sox" <<EOF2
#!/bin/sh
[ "\$1" != -h ] || exec "$(command -v sox)" -h
head -c 4000000000 /dev/zero && touch "$tmp/endless/finished"
EOF2
  chmod +x "$tmp/endless/sox"
  n=$((97000 * 44100))
  perl -e 'print "RIFF", pack("V", 36 + $ARGV[0]), "WAVEfmt ", pack("VvvVVvv", 16, 1, 2, 44100, 176400, 4, 16), "data", pack("V", $ARGV[0])' "$n" >"$tmp/long.wav"
  dd if=/dev/null of="$tmp/long.wav" bs=1 seek=$((n + 44)) 2>/dev/null
  PATH="$tmp/endless:$PATH" bandsway-batch "$tmp/long.wav" >"$tmp/long.tsv" 2>"$tmp/err"
  status=$?
  expect "batch, a file past the cap" 0 "long.wav: bandsway: warning: input longer than 65536 chunks"
  [ "$(sed -n 2p "$tmp/long.tsv" | cut -f 2)" = 65536 ] && [ ! -e "$tmp/endless/finished" ] &&
    bandsway-plot -o "$tmp/long.png" <"$tmp/long.tsv" && ok || fail "batch, a file past the cap: $(cut -f 1-3 "$tmp/long.tsv")"
  rm -f "$tmp/long.wav"

  # A file size limit (ulimit -f) under -o: named, not a death by SIGXFSZ
  # in mid-row, and only whole rows in the file.
  (ulimit -f 20 && exec bandsway-batch -o "$tmp/limit.tsv" "$lib") 2>"$tmp/err"
  status=$?
  expect "batch -o past a file size limit" 1 "cannot write to $tmp/limit.tsv: File too large"
  awk -F "$tab" 'NF != 770 { bad = 1 } END { exit bad || NR < 1 }' "$tmp/limit.tsv" && ok ||
    fail "batch -o past a file size limit: a row is cut: $(tail -c 40 "$tmp/limit.tsv")"

  # A full disk under -o: a message, and only whole rows in the file.
  if [ "$(id -u)" -eq 0 ] && mkdir "$tmp/full" && mount -t tmpfs -o size=16k tmpfs "$tmp/full"; then
    mounted="$tmp/full"
    bandsway-batch -o "$tmp/full/t.tsv" "$lib" 2>"$tmp/err"
    status=$?
    expect "batch -o on a full disk" 1 "cannot write to $tmp/full/t.tsv"
    awk -F "$tab" 'NF != 770 { bad = 1 } END { exit bad || NR < 1 }' "$tmp/full/t.tsv" &&
      [ "$(tail -c 1 "$tmp/full/t.tsv" | od -A n -c | tr -d ' ')" = '\n' ] && ok ||
      fail "batch -o on a full disk: a row is cut: $(tail -c 40 "$tmp/full/t.tsv")"
    dd if=/dev/zero of="$tmp/full/fill" bs=1024 count=64 2>/dev/null
    TMPDIR="$tmp/full" bandsway-batch "$lib" >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "batch with a full TMPDIR" 1 "temporary file in $tmp/full: No space left"
    [ ! -s "$tmp/out" ] && ok || fail "batch with a full TMPDIR printed: $(head -c 40 "$tmp/out")"
    # Room for the list of files but not for parallel's copy of a job's
    # output: parallel names the full disk, and nothing blames the PATH.
    rm -f "$tmp/full/fill" "$tmp/full/t.tsv"
    dd if=/dev/zero of="$tmp/full/fill" bs=1024 count=8 2>/dev/null
    TMPDIR="$tmp/full" bandsway-batch "$lib" >/dev/null 2>"$tmp/err"
    status=$?
    expect "batch with a TMPDIR too small for parallel" 1 "parallel failed"
    ! grep -q PATH "$tmp/err" && ok || fail "batch with a TMPDIR too small for parallel blames the PATH: $(cat "$tmp/err")"
  else
    echo "note: the full-disk case needs root (a tmpfs mount); skipped" >&2
  fi

  # Two machines through a stand-in ssh that runs the command here, from
  # /, with sh as the login shell, and logs the host: the same table
  # (relative paths kept as typed), and both hosts had jobs. With CUT_HOST
  # set, that host's connection drops 6 bytes into a job's output.
  cat >"$tmp/ssh" <<EOF2
#!/bin/sh
while [ \$# -gt 0 ]; do case \$1 in -[lop]) shift 2 ;; -*) shift ;; *) break ;; esac; done
host=\$1
echo "\$host" >>"$tmp/hosts"
shift
[ "\${1-}" != -- ] || shift
SHELL=/bin/sh
[ -z "\${REMOTE_PATH-}" ] || PATH=\$REMOTE_PATH
export SHELL PATH
cd / || exit 255
if [ "\$host" = "\${CUT_HOST-}" ]; then sh -c "\$*" | head -c 6; exit 0; fi
exec sh -c "\$*"
EOF2
  chmod +x "$tmp/ssh"
  PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA,1/hostB lib >"$tmp/rows" 2>"$tmp/err"
  status=$?
  expect "batch -S" 1 "broken.wav: cannot decode"
  sed "s|^$tmp/||" "$tmp/want" | cmp -s - "$tmp/rows" && ok || fail "batch -S: table differs from one machine's"
  [ "$(sort -u "$tmp/hosts" | tr '\n' ' ')" = "hostA hostB " ] && ok || fail "batch -S: hosts used: $(sort -u "$tmp/hosts" | tr '\n' ' ')"
  # A connection cut in mid-row: no part-row reaches the table (one job's
  # "lib/f" would run into another's next row), and a rerun completes it.
  sed "s|^$tmp/||" "$tmp/want" >"$tmp/want.rel"
  CUT_HOST=hostA PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA,1/hostB -o cut.tsv lib >/dev/null 2>"$tmp/err"
  status=$?
  expect "batch -S, a connection cut" 1 "were neither analysed nor reported"
  grep -vxF -f "$tmp/want.rel" cut.tsv >"$tmp/bad" && fail "batch -S, a connection cut: rows not in the table: $(cut -c1-60 "$tmp/bad")" || ok
  PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA,1/hostB -o cut.tsv lib 2>/dev/null
  cmp -s "$tmp/want.rel" cut.tsv && ok || fail "batch -S, a connection cut: the rerun differs from one whole run"
  # A machine without bandsway (perl, which parallel runs remotely, is in
  # /usr/local/bin on FreeBSD).
  mkdir "$tmp/nobsw" && ln -s "$build/bandsway-batch" "$(command -v perl)" "$tmp/nobsw/"
  REMOTE_PATH="$tmp/nobsw:/usr/bin:/bin" PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA "lib/first song.wav" >/dev/null 2>"$tmp/err"
  status=$?
  expect "batch -S, a machine without bandsway" 1 "bandsway (or sox, ffmpeg, spline) was not found on $(uname -n)"
  # Machines of other versions: one of protocol 1 (its rows, then its
  # account), one of a later protocol. Neither adds a row to the table.
  for v in old new; do
    mkdir "$tmp/$v" && ln -s "$(command -v perl)" "$tmp/$v/"
    cat >"$tmp/$v/bandsway-batch" <<EOF2
#!/bin/sh
# A job of another version, given one file: --job --cwd DIR BATCH.
first=\$4
[ $v = old ] || printf '\\tbsw start 3 ${v}host\\t%s\\n' "\$first"
printf '%s\\t9' "\$first"
i=0
while [ \$i -lt 768 ]; do printf '\\t0'; i=\$((i + 1)); done
echo
[ $v = new ] || printf '#bsw 1 ${v}host 1 0\\t%s\\n' "\$first"
EOF2
    chmod +x "$tmp/$v/bandsway-batch"
    rm -f "$tmp/v.tsv"
    REMOTE_PATH="$tmp/$v:/usr/bin:/bin" PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA -o "$tmp/v.tsv" "lib/first song.wav" 2>"$tmp/err"
    status=$?
    expect "batch -S, a machine of another version ($v)" 1 "${v}host runs a bandsway-batch of another version"
    [ "$(wc -l <"$tmp/v.tsv")" -eq 1 ] && ! grep -q damaged "$tmp/err" && ok || fail "batch -S, a machine of another version ($v): its rows were kept: $(cut -c 1-30 "$tmp/v.tsv")"
  done
  # A machine that runs nothing and says all went well.
  printf '#!/bin/sh\nexit 0\n' >"$tmp/ssh"
  PARALLEL_SSH="$tmp/ssh" bandsway-batch -S 1/hostA lib >"$tmp/rows" 2>"$tmp/err"
  status=$?
  expect "batch -S, jobs not run" 1 "14 of 14 files were neither analysed nor reported"
  ;;
near)
  # A table of real rows (the example at 10, 30 and 60 s: a pulse of
  # 1 Hz) and of made ones whose curves are 0 but for a peak at one point
  # (about 0.5, 1.5 and 1.8 Hz), with a tab in one path.
  row() { # NAME CHUNKS PEAK
    awk -v n="$1" -v c="$2" -v p="$3" 'BEGIN { printf "%s\t%s", n, c
      for (i = 0; i < 768; i++) printf "\t%s", (i % 256 == p ? 5 : 0); print "" }'
  }
  for s in 10 30 36 45 60; do
    "$build/make_example" "$s" >"$tmp/ex$s.raw"
    bandsway <"$tmp/ex$s.raw" >"$tmp/ex$s.curves"
  done
  {
    printf 'path\tchunks\tsum_000\n'
    for s in 10 30 60; do
      printf 'lib/ex%s.wav\t%s\t' "$s" $((s * 4))
      paste -s -d '\t' "$tmp/ex$s.curves"
    done
    row 'lib/tab\\there.flac' 120 64
    row lib/fast.flac 240 196
    row lib/faster.flac 400 233
  } >"$tmp/t.tsv"
  rows() { tail -n +2 "$1" | cut -f "$2" | tr '\n' ' '; }
  # by path: the nearest are the other examples, the query's own row left
  # out; the index is written
  bandsway-near -k 2 "$tmp/t.tsv" lib/ex30.wav >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near by path" 0 ""
  [ "$(head -n 1 "$tmp/out")" = "$(printf 'query\trank\tdistance\tpath')" ] &&
    [ "$(rows "$tmp/out" 1,2,4)" = "$(printf 'lib/ex30.wav\t1\tlib/ex60.wav lib/ex30.wav\t2\tlib/ex10.wav ')" ] &&
    [ -f "$tmp/t.tsv.near" ] && ok || fail "near by path: $(cat "$tmp/out" "$tmp/err")"
  # by a row on standard input, with the header; a path with a tab, as
  # the table writes it
  sed -n '1p;5p' "$tmp/t.tsv" | bandsway-near -k 1 "$tmp/t.tsv" >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near by a row on standard input" 0 ""
  [ "$(rows "$tmp/out" 1,2)" = "$(printf 'lib/tab\\there.flac\t1 ')" ] && ! grep -q 'tab.*tab' "$tmp/out" &&
    ok || fail "near by a row: $(od -c "$tmp/out" | head -n 4)"
  bandsway-near -k 1 "$tmp/t.tsv" "$(printf 'lib/tab\there.flac')" >"$tmp/out2" 2>"$tmp/err"
  cmp -s "$tmp/out" "$tmp/out2" && ok || fail "near by a path with a tab differs from its row: $(cat "$tmp/out2" "$tmp/err")"
  # by bandsway's curves on standard input: the file's own row first, at
  # a distance near 0
  bandsway-near -k 2 "$tmp/t.tsv" <"$tmp/ex30.curves" >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near by curves on standard input" 0 ""
  sed -n 2p "$tmp/out" | awk -F '\t' '$1 == "-" && $2 == 1 && $3 < 0.1 && $4 == "lib/ex30.wav" { ok = 1 } END { exit !ok }' &&
    ok || fail "near by curves: $(cat "$tmp/out")"
  # by curves, among rows of the same music at other lengths: each file's
  # own row first, near 0, though its lines carry no chunk count
  {
    for s in 30 36 45; do
      printf 'lib/ex%s.wav\t%s\t' "$s" $((s * 4))
      paste -s -d '\t' "$tmp/ex$s.curves"
    done
  } >"$tmp/l.tsv"
  for s in 30 36 45; do
    bandsway-near -k 1 "$tmp/l.tsv" <"$tmp/ex$s.curves" >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "near by the curves of ex$s" 0 ""
    sed -n 2p "$tmp/out" | awk -F '\t' -v p="lib/ex$s.wav" '$3 < 0.01 && $4 == p { ok = 1 } END { exit !ok }' &&
      ok || fail "near by the curves of ex$s: not its own row first, near 0: $(cat "$tmp/out")"
  done
  # k larger than the table: every other row
  bandsway-near -k 99 "$tmp/t.tsv" lib/fast.flac >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, k larger than the table" 0 ""
  [ "$(rows "$tmp/out" 2)" = "1 2 3 4 5 " ] && ok || fail "near, k larger than the table: $(cat "$tmp/out")"
  # a path not in the table: named, with the way to analyse it; the other
  # path answered
  bandsway-near -k 1 "$tmp/t.tsv" lib/none.wav lib/ex10.wav >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, a path not in the table" 1 "lib/none.wav: no row in .*t.tsv .*bandsway-batch lib/none.wav | bandsway-near"
  [ "$(rows "$tmp/out" 1)" = "lib/ex10.wav " ] && ok || fail "near, a path not in the table: the other is not answered: $(cat "$tmp/out")"
  # -r: the nearest rows as they stand in the table, which bandsway-plot
  # draws
  bandsway-near -r -k 3 "$tmp/t.tsv" lib/ex30.wav >"$tmp/r.tsv" 2>"$tmp/err"
  status=$?
  expect "near -r" 0 ""
  [ "$(head -n 1 "$tmp/r.tsv")" = "$(head -n 1 "$tmp/t.tsv")" ] && [ "$(wc -l <"$tmp/r.tsv")" -eq 4 ] &&
    tail -n +2 "$tmp/r.tsv" | grep -vxF -f "$tmp/t.tsv" >/dev/null && fail "near -r: a row is not the table's" || ok
  bandsway-plot -o "$tmp/r.png" "$tmp/r.tsv" 2>"$tmp/err" && is_png "$tmp/r.png" 1200 900 && ok ||
    fail "near -r: bandsway-plot does not draw it: $(cat "$tmp/err")"
  # a damaged row: named and skipped, the rest answered, by this query and
  # by the next, from the index
  { cat "$tmp/t.tsv"; printf 'lib/cut.wav\t80\t1\n'; } >"$tmp/d.tsv"
  for run in 1 2; do
    bandsway-near -k 1 "$tmp/d.tsv" lib/ex10.wav >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "near, a damaged row (run $run)" 1 "d.tsv: line 8: 3 tab-separated fields, not 770 .*; skipped"
    [ "$(rows "$tmp/out" 4)" = "lib/ex30.wav " ] && ok || fail "near, a damaged row: $(cat "$tmp/out")"
  done
  # two queries at once, both building the index: the same answers, and an
  # index the next query takes as it is (no new file under its name)
  for run in 1 2 3; do
    rm -f "$tmp/t.tsv.near"
    bandsway-near -k 4 "$tmp/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/a.out" 2>"$tmp/a.err" &
    a=$!
    bandsway-near -k 4 "$tmp/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/b.out" 2>"$tmp/b.err" &
    b=$!
    wait "$a"
    sa=$?
    wait "$b"
    sb=$?
    [ "$sa$sb" = 00 ] && cmp -s "$tmp/a.out" "$tmp/b.out" && [ ! -s "$tmp/a.err" ] && [ ! -s "$tmp/b.err" ] &&
      ok || fail "near, two queries at once (run $run): $sa $sb $(cat "$tmp/a.err" "$tmp/b.err")"
    before=$(ls -i "$tmp/t.tsv.near")
    bandsway-near -k 4 "$tmp/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/c.out" 2>"$tmp/err"
    [ "$(ls -i "$tmp/t.tsv.near")" = "$before" ] && cmp -s "$tmp/a.out" "$tmp/c.out" &&
      ok || fail "near, two queries at once (run $run): the index was not taken as it was"
  done
  [ -z "$(find "$tmp" -name '.bandsway.*')" ] && ok || fail "near: a temporary index is left: $(find "$tmp" -name '.bandsway.*')"
  # the index cannot be written (a folder in its place): a note, the same
  # answers, status 0
  mkdir "$tmp/ro" && cp "$tmp/t.tsv" "$tmp/ro/t.tsv" && mkdir "$tmp/ro/t.tsv.near"
  bandsway-near -k 4 "$tmp/ro/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, the index cannot be written" 0 "cannot write the index .*ro/t.tsv.near: .*; answered from the table itself"
  [ "$(wc -l <"$tmp/err")" -eq 1 ] && sed "s|$tmp/ro/|$tmp/|" "$tmp/out" | cmp -s - "$tmp/a.out" && ok ||
    fail "near, the index cannot be written: other answers, or more than a note"
  # a full disk: the table fits, its index does not; the same answers,
  # and no temporary file left (needs root, for a tmpfs)
  if [ "$(id -u)" -ne 0 ]; then
    echo "near: not root, so no tmpfs: the full-disk case is skipped"
  else
    mkdir "$tmp/full" && mount -t tmpfs -o size=64k tmpfs "$tmp/full" && mounted=$tmp/full
    cp "$tmp/t.tsv" "$tmp/full/t.tsv"
    dd if=/dev/zero of="$tmp/full/fill" bs=1024 count=64 2>/dev/null
    bandsway-near -k 4 "$tmp/full/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "near on a full disk" 0 "cannot write the index .*full/t.tsv.near: No space left on device; answered"
    cmp -s "$tmp/out" "$tmp/a.out" && [ -z "$(find "$tmp/full" -name '.bandsway.*')" ] && [ ! -e "$tmp/full/t.tsv.near" ] &&
      ok || fail "near on a full disk: other answers, or a file left: $(ls -a "$tmp/full")"
  fi
  # an index zeroed in place: rebuilt, the same answers
  head -c "$(wc -c <"$tmp/t.tsv.near")" /dev/zero >"$tmp/zero" && cat "$tmp/zero" >"$tmp/t.tsv.near"
  bandsway-near -k 4 "$tmp/t.tsv" lib/ex10.wav lib/fast.flac >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, a zeroed index" 0 ""
  cmp -s "$tmp/out" "$tmp/a.out" && ok || fail "near, a zeroed index: other answers"
  # the arguments swapped, a file of sound as TABLE: refused in one line,
  # and no index beside it; nor beside a table with no row
  cp "$tmp/ex10.raw" "$tmp/song.raw"
  bandsway-near "$tmp/song.raw" "$tmp/t.tsv" >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, a file of sound as TABLE" 1 "song.raw is not a bandsway-batch table: line 1 is neither"
  [ "$(wc -l <"$tmp/err")" -eq 1 ] && [ ! -e "$tmp/song.raw.near" ] && ok ||
    fail "near, a file of sound as TABLE: more than a line, or an index: $(head -c 300 "$tmp/err")"
  { head -n 1 "$tmp/t.tsv"; printf 'lib/cut.wav\t80\t1\n'; } >"$tmp/empty.tsv"
  bandsway-near "$tmp/empty.tsv" lib/ex10.wav >"$tmp/out" 2>"$tmp/err"
  status=$?
  expect "near, a table with no row" 1 "empty.tsv has no rows to search"
  [ ! -e "$tmp/empty.tsv.near" ] && ok || fail "near, a table with no row: an index beside it"
  # the rest (name:command:status:message), standard input empty
  while IFS=: read -r name cmd want msg; do
    eval "$cmd" </dev/null >"$tmp/out" 2>"$tmp/err"
    status=$?
    expect "near: $name" "$want" "$msg"
  done <<'EOF2'
no table:bandsway-near:2:no TABLE given
-k 0:bandsway-near -k 0 "$tmp/t.tsv" lib/ex10.wav:2:-k takes a whole number from 1
-k without a number:bandsway-near "$tmp/t.tsv" -k:1:-k: no row in .*options go before TABLE
a wrong option:bandsway-near -z "$tmp/t.tsv":2:unknown option "-z"
--help:bandsway-near --help && grep -q '^usage' "$tmp/out":0:
--version:bandsway-near --version && grep -qx 'bandsway-near [0-9.]*' "$tmp/out":0:
a missing table:bandsway-near "$tmp/none.tsv" lib/ex10.wav:1:cannot read .*none.tsv: No such file
a folder as the table:bandsway-near "$tmp" lib/ex10.wav:1:is a folder, not a table
the curves as the table:bandsway-near "$tmp/ex10.curves" <"$tmp/ex10.curves":1:line 1 is a lone number
nothing on standard input:bandsway-near "$tmp/t.tsv":1:standard input holds no query
767 lines:head -n 767 "$tmp/ex10.curves" | bandsway-near "$tmp/t.tsv":1:expected 768 values (three curves of 256), got 767
a damaged row on standard input:printf 'lib/x\t80\t1\n' | bandsway-near "$tmp/t.tsv":1:standard input: line 1: 3 tab-separated fields
150 damaged rows on standard input:awk 'BEGIN { for (i = 0; i < 150; i++) printf "lib/x\t80\t1\n" }' | bandsway-near "$tmp/t.tsv" && false || [ "$(wc -l <"$tmp/err")" -eq 101 ]:0:150 damaged rows in all were skipped; only the first 100 are named
standard output full:bandsway-near "$tmp/t.tsv" lib/ex10.wav >/dev/full:1:cannot write to standard output: No space left
standard output closed:bandsway-near "$tmp/t.tsv" lib/ex10.wav >&-:1:standard output is not open for writing
EOF2
  ;;
man)
  for page in bandsway.1 bandsway-plot.1 bandsway-batch.1 bandsway-near.1; do
    groff -man -ww -z "$src/man/$page" 2>"$tmp/err"
    status=$?
    [ ! -s "$tmp/err" ] || status=99
    expect "manual page $page renders without warnings" 0 ""
  done
  ;;
install)
  cmake --install "$build" --prefix "$tmp/p" >/dev/null 2>"$tmp/err"
  status=$?
  expect "cmake --install" 0 ""
  for f in bin/bandsway bin/bandsway-plot bin/bandsway-batch bin/bandsway-near; do
    [ -x "$tmp/p/$f" ] && ok || fail "install: $f missing or not executable"
  done
  for f in bandsway.1 bandsway-plot.1 bandsway-batch.1 bandsway-near.1; do
    [ -f "$tmp/p/share/man/man1/$f" ] && ok || fail "install: man page $f missing"
  done
  "$build/make_example" 2 | "$tmp/p/bin/bandsway" | "$tmp/p/bin/bandsway-plot" >"$tmp/i.png" 2>"$tmp/err"
  is_png "$tmp/i.png" 800 900 && ok || fail "installed pieces do not make a plot: $(cat "$tmp/err")"
  ;;
*)
  echo "usage: companions.sh plot|batch|near|man|install SOURCE_DIR BUILD_DIR" >&2
  exit 2
  ;;
esac

echo "$group: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
