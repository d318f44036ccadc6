#!/bin/sh
# A bundle shows its host exactly the two OpenFX entry points and nothing of ours.
set -eu
binary=$1
symbols=$(nm -D --defined-only "$binary" | awk 'NF == 3 { print $3 }' | sort)
expected=$(printf '%s\n' OfxGetNumberOfPlugins OfxGetPlugin)
if [ "$symbols" != "$expected" ]; then
  echo "exported from $binary:"
  echo "$symbols"
  echo "expected exactly:"
  echo "$expected"
  exit 1
fi
echo "exports: $(echo $symbols)"
