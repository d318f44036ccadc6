#!/bin/sh
# A bundle shows its host exactly the two OpenFX entry points and nothing of ours.
# ELF (Linux) lists its dynamic symbols with nm -D; Mach-O (macOS) lists the
# defined globals with nm -gU, each name with a leading underscore, once per
# processor of a universal binary, and every processor must pass. NM picks
# another nm (llvm-nm reads both formats).
set -eu
binary=$1
nm=${NM:-nm}
expected=$(printf '%s\n' OfxGetNumberOfPlugins OfxGetPlugin)

# The names nm prints in its third column, one per line, sorted.
names() { awk 'NF == 3 { print $3 }' | sort; }

check() {  # <what> <symbols>
  if [ "$2" != "$expected" ]; then
    echo "exported from $1:"
    echo "$2"
    echo "expected exactly:"
    echo "$expected"
    exit 1
  fi
  echo "exports of $1: $(echo $2)"
}

magic=$(od -An -tx1 -N4 "$binary" | tr -d ' \n')
case $magic in
  7f454c46)
    check "$binary" "$(LC_ALL=C "$nm" -D --defined-only "$binary" | names)" ;;
  cafebabe | cffaedfe | cefaedfe)
    # The processors of the file: lipo where there is one, else what nm names.
    archs=$( (lipo -archs "$binary" 2>/dev/null || "$nm" -gU -arch all "$binary" |
      sed -n 's/.*(for architecture \(.*\)):$/\1/p') | tr ' ' '\n' | sed '/^$/d')
    [ -n "$archs" ] || archs=$("$nm" -gU "$binary" >/dev/null && echo all)
    for arch in $archs; do
      check "$binary ($arch)" "$(LC_ALL=C "$nm" -gU -arch "$arch" "$binary" | names | sed 's/^_//')"
    done ;;
  *)
    echo "$binary: neither ELF nor Mach-O (starts with $magic)"
    exit 1 ;;
esac
