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
# What follows the password line is the line's own input, as with sudo -S.
printf 'pass word\nline one\nline two\n' | "$sudo" -S /bin/bash -c "cat > '$sandbox/given'" >/dev/null 2>&1
[[ $(cat "$sandbox/given") == $'line one\nline two' ]] || { echo "FAIL: the input after the password did not reach the line"; failures=$((failures + 1)); }
# A replacement of a hosts-style target in the sandbox from that input, in the shape of
# the agent's root line: the copy is checked, takes the target's mode and is renamed in.
printf 'old\n' >"$sandbox/root-target" && chmod 640 "$sandbox/root-target"
text=$'::1\tlocalhost\n127.0.0.1\tblocked.example\n'
digest=$(printf '%s' "$text" | sha256sum)
line="umask 077; set -o pipefail; cd -P -- '$sandbox/' || exit 1; head -c $((${#text} + 1024)) | tail -c ${#text} | dd of='.copy' conv=excl status=none || exit 1; dd if='.copy' status=none | sha256sum | grep -qxF '$digest' || exit 1; chmod --reference='./root-target' -- '.copy' && chown --reference='./root-target' -- '.copy' && mv -T -- '.copy' './root-target'"
printf 'pass word\n%s' "$text" | "$sudo" -S /bin/bash -c "$line" >/dev/null 2>&1 || { echo "FAIL: the stdin replacement failed"; failures=$((failures + 1)); }
[[ $(cat "$sandbox/root-target") == "${text%$'\n'}" && $(stat -c %a "$sandbox/root-target") == 640 ]] || { echo "FAIL: the stdin replacement did not put the text in place"; failures=$((failures + 1)); }
grep -q '^chown skipped (needs root): --reference=./root-target -- .copy' "$sandbox/log/sudo.log" || { echo "FAIL: the ownership change was not skipped"; failures=$((failures + 1)); }
# The same input aimed at /etc is refused before anything runs.
printf 'pass word\n%s' "$text" | "$sudo" -S /bin/bash -c "cd -P -- '/etc/' && tail -c 3 | dd of='.copy' conv=excl" >/dev/null 2>&1 && { echo "FAIL: a line for /etc ran"; failures=$((failures + 1)); }
# Unexpected argument shapes are refused too.
printf 'pass word\n' | "$sudo" rm -rf "$sandbox/home" >/dev/null 2>&1 && { echo "FAIL: ran without -S ... -c"; failures=$((failures + 1)); }
[[ -d $sandbox/home ]] || { echo "FAIL: removed the home"; failures=$((failures + 1)); }
((failures == 0)) && echo "stub sudo: all checks held"
exit $((failures > 0))
