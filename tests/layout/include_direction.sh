#!/bin/sh
# Every #include "folder/..." between the product's folders points down the layers:
#   plugin -> render, account -> core -> imaging, backend -> ofx
# and the tools above them: cli -> host -> ofx; service stands alone.
# Run from the project's root (CTest passes it); prints each include that breaks the rule.
root=${1:-.}
cd "$root" || exit 2

allowed() {  # folder -> folders its sources may include
  case $1 in
    ofx) echo "ofx" ;;
    imaging) echo "imaging" ;;
    backend) echo "backend" ;;
    core) echo "core imaging backend ofx" ;;
    render) echo "render core imaging backend ofx" ;;
    account) echo "account core imaging backend ofx" ;;
    plugin) echo "plugin render account core imaging backend ofx" ;;
    host) echo "host ofx" ;;
    cli) echo "cli host ofx" ;;
    service) echo "service" ;;
  esac
}

bad=0
for folder in ofx imaging backend core render account plugin host cli service; do
  ok=$(allowed "$folder")
  for file in $(find "$folder" -name '*.cpp' -o -name '*.h' -o -name '*.in'); do
    for target in $(sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)/.*|\1|p' "$file"); do
      case " $ok " in
        *" $target "*) ;;
        *) echo "$file includes $target/ (allowed: $ok)"; bad=1 ;;
      esac
    done
  done
done
[ $bad -eq 0 ] && echo "every include points down"
exit $bad
