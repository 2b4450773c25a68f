# Sourced by the scripts: how a step is run and how its failure is told. The script sets
# `me` (its name in messages) before sourcing this file.
#
# Every step that fails ends with one line on standard error, "<me>: <step> failed
# (status N): <the tool's own error>; the whole output is in <log>", after the last
# lines of that output. A command of the script itself that fails outside a step (under
# set -e) is told by the ERR trap below, with its line and status.

set -Eeuo pipefail

# The script's own commands: a failure that no step caught names the line and command.
trap 'steps_on_error $? $LINENO "$BASH_COMMAND"' ERR
steps_on_error() {
  trap - ERR
  echo "$me: stopped at line $2: '$3' ended with status $1" >&2
  exit "$1"
}

# The first line of a tool's output that reads as its error (else its last line), with
# where npm keeps its own log when it names one.
steps_tool_error() {
  local log=$1 line npm_log
  [[ -s $log ]] || return 0
  line=$(grep -E -i -m 1 '(^E: |npm ERR!|npm error|error[: ]|fatal|cannot |could not |not found|denied|refused)' "$log" |
    grep -v -i 'complete log of this run' | head -n 1 || true)
  [[ -n $line ]] || line=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 || true)
  npm_log=$(sed -n 's/.*A complete log of this run can be found in:[[:space:]]*//p' "$log" | tail -n 1 || true)
  line=${line//$'\r'/}
  [[ -z $npm_log ]] || npm_log=" (npm's own log: $npm_log)"
  printf '%s' "${line:0:300}$npm_log"
}

# steps_failed WHAT STATUS LOG: shows the end of LOG and the one line, then exits 1.
steps_failed() {
  local what=$1 status=$2 log=$3 why
  trap - ERR
  if [[ -s $log ]]; then
    echo "---- the last lines of its output:" >&2
    tail -n 30 "$log" >&2
    echo "----" >&2
  fi
  why=$(steps_tool_error "$log")
  echo "$me: $what failed (status $status)${why:+: $why}; the whole output is in $log" >&2
  exit 1
}

# steps_log NAME: a new file for one step's output.
steps_log() { mktemp "${TMPDIR:-/tmp}/mopet-${me##*/}-$1-XXXXXX.log"; }

# quietly WHAT COMMAND...: runs COMMAND with its output kept in a log (standard input
# empty); says nothing and drops the log when it succeeds, tells the failure otherwise.
quietly() {
  local what=$1 log status=0
  shift
  log=$(steps_log step)
  "$@" >"$log" 2>&1 </dev/null || status=$?
  if ((status == 0)); then
    rm -f "$log"
    return 0
  fi
  steps_failed "$what" "$status" "$log"
}

# visibly WHAT COMMAND...: as quietly, but the output is shown as it comes too.
visibly() {
  local what=$1 log status=0
  shift
  log=$(steps_log step)
  "$@" 2>&1 </dev/null | tee "$log" || status=$?
  if ((status == 0)); then
    rm -f "$log"
    return 0
  fi
  trap - ERR
  echo "$me: $what failed (status $status): $(steps_tool_error "$log"); the whole output is in $log" >&2
  exit 1
}
