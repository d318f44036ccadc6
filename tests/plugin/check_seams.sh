#!/bin/sh
# The shipped bundle opens URLs with the system's opener and keeps its token
# under the real keychain service; only the test and demo bundles carry the
# recording opener and the build's test keychain service.
#   check_seams.sh <shipped> <system opener> <test keychain> <test or demo bundle>...
set -eu
shipped=$1 opener=$2 keychain=$3
shift 3
if LC_ALL=C grep -aqF -e record-opener -e "$keychain" "$shipped"; then
  echo "$shipped carries a test seam"; exit 1
fi
LC_ALL=C grep -aqF "$opener" "$shipped" || { echo "$shipped lacks the opener $opener"; exit 1; }
for bundle in "$@"; do
  LC_ALL=C grep -aqF record-opener "$bundle" && LC_ALL=C grep -aqF "$keychain" "$bundle" ||
    { echo "$bundle lacks the recording opener or the test keychain service"; exit 1; }
done
echo "shipped: $opener; test and demo bundles: the recording opener and $keychain"
