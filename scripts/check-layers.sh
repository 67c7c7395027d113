#!/bin/sh
# Every folder of src/ may include only its own layer and the layers below it, and nothing
# below the user-facing steps writes to the console. Prints each breach; exits 1 on any.
cd "$(dirname "$0")/../src" || exit 2
layers="common serial console protocol images discovery update driver"
status=0
rank() {
  i=0
  for l in $layers; do
    [ "$l" = "$1" ] && { echo $i; return; }
    i=$((i + 1))
  done
  echo 99
}
for dir in $layers; do
  [ -d "$dir" ] || continue
  mine=$(rank "$dir")
  for file in "$dir"/*; do
    for used in $(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' "$file"); do
      if [ "$(rank "$used")" -gt "$mine" ]; then
        echo "$file includes a header of $used, a layer above $dir"
        status=1
      fi
    done
  done
done
# Console text belongs to update/ and driver/ (and the console itself).
for dir in common serial protocol images discovery; do
  if grep -n 'console/console.h\|std::printf\|std::fprintf\|std::puts\|std::cout' "$dir"/* ; then
    echo "$dir writes to the console"
    status=1
  fi
done
exit $status
