#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the installed agent's
# code finds its resources there (not in the build or source tree): the word list, the
# autostart entry (naming the installed executable) and the tools for its children.
#   check_install.sh <build folder> <resource probe>
set -euo pipefail
build=$1 probe=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/mopet-install-XXXXXX")
prefix=$(realpath "$prefix")
trap 'rm -rf "$prefix"' EXIT
fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log" >&2; rm -f "$prefix.log"; fail "install failed"; }
rm -f "$prefix.log"
share=$prefix/share/velmor-mopet-agent
[[ -x $prefix/bin/VelmorMopetAgent ]] || fail "no executable in bin/"
for file in wordsSafeSearch.json Layer_x0020_2.svg Main.storyboard.json DateTimeView.nib.json \
            PreferencesView.nib.json so.velmorhome.mopet.agent.desktop; do
  [[ -f $share/$file && ! -L $share/$file ]] || fail "$file is not installed in $share"
done
[[ -x $share/tools/osascript && ! -L $share/tools/osascript ]] || fail "the scripting tool is not installed"
grep -qx "Exec=$prefix/bin/VelmorMopetAgent" "$share/so.velmorhome.mopet.agent.desktop" ||
  fail "the autostart entry does not name the installed executable: $(grep Exec= "$share/so.velmorhome.mopet.agent.desktop")"

cp "$probe" "$prefix/bin/resource-probe"
found=$(env -u MOPET_CHILD_PATH "$prefix/bin/resource-probe")
expected="resources $share
words $share/wordsSafeSearch.json
autostart $share/so.velmorhome.mopet.agent.desktop
tools $share/tools"
# The probe reports the folder as reached from bin/ ("bin/../share/..."); compare
# canonical paths.
canonical=$(while read -r key path; do echo "$key $(realpath -m "$path")"; done <<<"$found")
[[ $canonical == "$expected" ]] || fail "found:
$found
expected:
$expected"
echo "the installed agent finds its resources in $share"
