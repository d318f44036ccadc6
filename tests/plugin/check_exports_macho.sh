#!/bin/sh
# check_exports.sh on Mach-O, checked on any machine: clang builds universal
# objects for macOS, llvm-nm reads them. One whose x86_64 slice exports a
# third name must be refused, one exporting only the entry points accepted.
#   check_exports_macho.sh <check_exports.sh> <clang> <llvm-nm> <llvm-lipo>
set -eu
check=$1 clang=$2 nm=$3 lipo=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
entry='int OfxGetPlugin(int i) { return i; } int OfxGetNumberOfPlugins(void) { return 1; }'
printf '%s\n' "$entry" >"$dir/entry.c"
printf '%s\n' "$entry" 'int ours(void) { return 2; }' 'static int hidden(void) { return 3; }' \
  >"$dir/more.c"
for arch in arm64 x86_64; do
  for name in entry more; do
    "$clang" -target "$arch-apple-macos11" -c "$dir/$name.c" -o "$dir/${name}_$arch.o"
  done
done
"$lipo" -create "$dir/entry_arm64.o" "$dir/entry_x86_64.o" -output "$dir/good"
"$lipo" -create "$dir/entry_arm64.o" "$dir/more_x86_64.o" -output "$dir/bad"
NM=$nm sh "$check" "$dir/good"
if NM=$nm sh "$check" "$dir/bad" >"$dir/out"; then
  echo "accepted a slice that exports more:"; cat "$dir/out"; exit 1
fi
grep -q '(x86_64)' "$dir/out" || { echo "the refusal does not name the slice:"; cat "$dir/out"; exit 1; }
echo "refused: $(tr '\n' ' ' <"$dir/out")"
