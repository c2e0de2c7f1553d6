#!/usr/bin/env bash
# lintian on the package: any error fails, and so does a warning that README's packaging section
# does not name (in backquotes) together with its reason.
#   lintian-check.sh PACKAGE.deb
set -euo pipefail
deb=${1:?usage: lintian-check.sh PACKAGE.deb}
readme=$(cd "$(dirname "$0")/.." && pwd)/README.md

status=0
out=$(lintian --no-cfg --fail-on error --display-level '>=warning' --tag-display-limit 0 "$deb" 2>&1) ||
  status=$?
echo "$out"
[ "$status" -le 1 ] || { echo "lintian did not run (exit $status)"; exit 1; }
grep -q '^E: ' <<<"$out" && { echo "lintian found errors in $deb"; exit 1; }
explained=$(sed -n '/^## Packaging/,/^## /p' "$readme")
fail=0
for tag in $(sed -n 's/^W: [^:]*: \([^ ]*\).*/\1/p' <<<"$out" | sort -u); do
  grep -qF "\`$tag\`" <<<"$explained" ||
    { echo "lintian warning $tag is neither fixed nor explained in README's packaging section"; fail=1; }
done
exit "$fail"
