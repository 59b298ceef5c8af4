#!/bin/sh
# Rendering output stays byte for byte what it was: 30 s of every NSF file in
# tests/data/nsf through pelrin-nsf (stereo, centred, unfiltered, 44100 Hz:
# the library's own bytes) against the recorded
# SHA-256 sums, and pelrin-checksum's report against its recorded output.
# usage: output_unchanged.sh PELRIN_NSF PELRIN_CHECKSUM TESTS_DIR
set -eu
nsf=$1 checksum=$2 tests=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in "$tests"/data/nsf/*.nsf; do
    "$nsf" "$f" -l 30 --stereo --pan all=0 --no-filter -q -o "$work/$(basename "$f" .nsf).wav"
done
(cd "$work" && sha256sum -c --quiet "$tests/data/nsf/render-30s.sha256")
"$checksum" > "$work/checksum.txt"
diff "$tests/data/pelrin-checksum.txt" "$work/checksum.txt"
echo "all renders and checksums unchanged"
