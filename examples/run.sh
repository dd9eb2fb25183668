#!/bin/sh
# Builds the blinker example with the whole tool chain:
#   sh examples/run.sh [output-directory]
# The programs are taken from TOOL_BIN_DIR, by default build/default/bin.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
bin=${TOOL_BIN_DIR:-$here/../build/default/bin}
out=${1:-$here/../build/example}

mkdir -p "$out"
cd "$out"

# Object files and sources, as an assembler would have left them.
"$bin/make_example_objects" .

# The library of helper routines.
"$bin/kesvo" /c util.lib delay.o blink.o spare.o

# Link: the command file is found through -k; main.o and counter.o are
# named in it, and only the library members the program calls come in.
"$bin/torvan" -k "$here" blinker.lkr -o blinker.out -m blinker.map

# Programming file and debug file with its listing.
"$bin/ponzer" blinker.out
if [ -x "$bin/dralm" ]; then
  "$bin/dralm" blinker.out
fi

for f in blinker.out blinker.map blinker.hex; do
  [ -s "$f" ] || { echo "run.sh: $f was not written" >&2; exit 1; }
done

echo
echo "Example built in $out:"
ls -l "$out"
