#!/usr/bin/env bash
# The sandbox's stand-in for sudo: what it runs, what it refuses, and that a refused
# line changes nothing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sandbox=$(mktemp -d "${TMPDIR:-/tmp}/mopet-stub-sudo-XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
bash "$here/../service/prepare-sandbox" "$sandbox" token 'pass word' || exit 1
export HOME="$sandbox/home"
sudo="$sandbox/tools/sudo"
outside="$(dirname "$sandbox")/$(basename "$sandbox")-outside"  # a sibling: outside, yet ours
trap 'rm -rf "$sandbox" "$outside"' EXIT
failures=0

# password | line | expected status (0 ran, 1 refused) | what must exist afterwards ('' none)
check() {
  local password=$1 line=$2 expected=$3 made=$4
  printf '%s\n' "$password" | "$sudo" -S /bin/bash -c "$line" >/dev/null 2>&1
  local status=$?
  if [[ $status != "$expected" ]]; then
    echo "FAIL: [$line] with password [$password]: status $status, expected $expected"; failures=$((failures + 1))
  fi
  if [[ -n $made && ! -e $made ]]; then echo "FAIL: [$line] did not make $made"; failures=$((failures + 1)); fi
}
printf 'staged\n' >"$sandbox/home/Documents/hosts"
check 'pass word' "mv '$sandbox/home/Documents/hosts' '$sandbox/hosts' && chown 0:0 '$sandbox/hosts' && chmod 644 '$sandbox/hosts'" 0 ''
[[ $(cat "$sandbox/hosts") == staged ]] || { echo "FAIL: the move did not happen"; failures=$((failures + 1)); }
check 'pass word' 'if resolvectl status >/dev/null 2>&1; then resolvectl flush-caches; fi; if nscd --statistics >/dev/null 2>&1; then nscd --invalidate=hosts; fi' 0 ''
grep -q '^resolvectl skipped.*: flush-caches' "$sandbox/log/sudo.log" || { echo "FAIL: the flush was not skipped"; failures=$((failures + 1)); }
check 'pass word' 'touch ~/made-at-home' 0 "$sandbox/home/made-at-home"
check 'wrong' "touch '$sandbox/wrong-password'" 1 ''
check 'pass word' 'cat /etc/hosts' 1 ''
check 'pass word' "mv '$sandbox/hosts' /etc/hosts" 1 ''
check 'pass word' "touch '$outside'" 1 ''
check 'pass word' "touch home/../../$(basename "$outside")" 1 ''
check 'pass word' 'touch "$HOME/../x"' 1 ''
check 'pass word' 'touch `echo /tmp/x`' 1 ''
check 'pass word' 'cd /; touch x' 1 ''
[[ ! -e $outside && ! -e "$sandbox/wrong-password" ]] || { echo "FAIL: a refused line wrote"; failures=$((failures + 1)); }
[[ $(cat "$sandbox/hosts") == staged ]] || { echo "FAIL: the hosts file changed"; failures=$((failures + 1)); }
grep -q '^REFUSED (wrong password)' "$sandbox/log/sudo.log" || { echo "FAIL: no log of the refusal"; failures=$((failures + 1)); }
# Unexpected argument shapes are refused too.
printf 'pass word\n' | "$sudo" rm -rf "$sandbox/home" >/dev/null 2>&1 && { echo "FAIL: ran without -S ... -c"; failures=$((failures + 1)); }
[[ -d $sandbox/home ]] || { echo "FAIL: removed the home"; failures=$((failures + 1)); }
((failures == 0)) && echo "stub sudo: all checks held"
exit $((failures > 0))
